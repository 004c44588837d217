#include "session_fixture.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "platform/socket_layer.h"
#include "test_support/wx_env.h"
#include "session/wire.h"

namespace testing_session {
namespace {

// wxWidgets as a console application (its event loop watches the sockets
// with epoll) or, when UseGuiEventLoop() is set (gtk_loop.cpp), as a GTK
// application whose GLib loop does, as in the update window.
struct SocketLayer : ::testing::Environment {
  void SetUp() override { ASSERT_TRUE(platform::StartSocketLayer()); }
};
[[maybe_unused]] auto* const socketLayer = ::testing::AddGlobalTestEnvironment(new SocketLayer);
// The kind is chosen when the tests start: gtk_loop.cpp sets it while the
// program is being initialised, in no fixed order with this file.
struct SessionWx : test_support::WxEnvironment {
  SessionWx() : WxEnvironment(Kind::Console, WithoutDisplay::Skip) {}
  void SetUp() override {
    SetKind(UseGuiEventLoop() ? Kind::Gtk : Kind::Console);
    WxEnvironment::SetUp();
  }
};
[[maybe_unused]] auto* const wx = ::testing::AddGlobalTestEnvironment(new SessionWx);

}  // namespace

bool& UseGuiEventLoop() {
  static bool gui = false;
  return gui;
}

bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
  wxEventLoopBase* loop = test_support::WxEnvironment::EventLoop();
  wxEventLoopActivator active(loop);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    loop->DispatchTimeout(20);
  }
  return true;
}

void RunLoopFor(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  RunLoopUntil([&] { return std::chrono::steady_clock::now() > until; }, ms + 1000);
}

void SessionTest::SetUp() {
  if (test_support::WxEnvironment::EventLoop() == nullptr) GTEST_SKIP() << "no display for the GTK event loop";
  previous_ = std::filesystem::current_path();
  scratch_ = std::make_unique<test_support::TempDir>();
  root_ = scratch_->path();
  work_ = root_ / "work";
  std::filesystem::create_directory(work_);
  std::filesystem::current_path(work_);
  host_.outcome = &outcome_;
}

void SessionTest::TearDown() {
  if (root_.empty()) return;
  session_.reset();
  std::filesystem::current_path(previous_);
  scratch_.reset();
}

session::UpdateSession& SessionTest::MakeSession(std::uint16_t port, std::string ip1,
                                                 std::string ip2) {
  session_ = std::make_unique<session::UpdateSession>(
      host_, outcome_, std::array<std::string, 2>{std::move(ip1), std::move(ip2)}, port, &host_);
  return *session_;
}

bool SessionTest::RunUntilSettled(int timeoutMs) {
  return RunLoopUntil(
      [&] { return host_.ended || host_.collapses > 0 || session_->connectionClosed(); }, timeoutMs);
}

std::vector<std::string> SessionTest::WorkFiles() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(work_)) {
    if (e.is_regular_file()) names.push_back(std::filesystem::relative(e.path(), work_).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SessionTest::OutsideEntries() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(root_)) {
    if (e.path().filename() != "work") names.push_back(e.path().filename().string());
  }
  return names;
}

std::string SessionTest::ReadFile(const std::string& relative) const {
  std::ifstream in(work_ / relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void SessionTest::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream(work_ / relative, std::ios::binary) << content;
}

Bytes Reply(std::uint32_t major, std::uint32_t minor, std::uint32_t redirect, std::int32_t noticeTime,
            std::uint8_t type) {
  session::VersionReply r;
  r.type = type;
  r.major = major;
  r.minor = minor;
  r.redirect = redirect;
  r.noticeTime = noticeTime;
  return ToBytes(session::EncodeVersionReply(r));
}

Bytes Notice(const std::string& page) {
  return Cat({ToBytes(session::EncodeNoticeLength(static_cast<std::uint32_t>(page.size()))),
              ToBytes(page)});
}

Bytes FileList(std::uint16_t kind0, std::uint16_t kind1, std::int32_t total) {
  session::FileListHeader h;
  h.counts = {kind0, kind1};
  h.totalBytes = total;
  return ToBytes(session::EncodeFileListHeader(h));
}

Bytes File(const std::string& name, std::uint32_t version, const Bytes& body) {
  return Cat({session::EncodeFileHeader(version, static_cast<std::int32_t>(body.size()), name), body});
}

Bytes Body(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

}  // namespace testing_session
