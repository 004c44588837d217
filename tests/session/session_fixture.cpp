#include "session_fixture.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "platform/socket_layer.h"
#include "session/wire.h"

namespace testing_session {
namespace {

// wxWidgets as a console application (its event loop watches the sockets
// with epoll) or, when UseGuiEventLoop() is set, as a GTK application whose
// GLib loop does, as in the update window.
class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(platform::StartSocketLayer());
    if (UseGuiEventLoop()) {
      wxApp::SetInstance(new wxApp);
      static int argc = 1;
      static char name[] = "session_gtk_test";
      static char* argv[] = {name, nullptr};
      if (!wxEntryStart(argc, argv)) {
        wxApp::SetInstance(nullptr);
        return;  // no display: SessionTest skips
      }
      gui_ = true;
    } else {
      ASSERT_TRUE(wxInitialize());
    }
    wxSetAssertHandler([](const wxString& file, int line, const wxString&, const wxString& cond,
                          const wxString& msg) {
      ADD_FAILURE() << "wx assertion " << cond << " " << msg << " at " << file << ":" << line;
    });
    loop_.reset(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop());
  }
  void TearDown() override {
    const bool started = loop_ != nullptr;
    loop_.reset();
    if (gui_) {
      wxEntryCleanup();
    } else if (started) {
      wxUninitialize();
    }
  }
  static wxEventLoopBase* loop() { return loop_.get(); }

 private:
  static inline std::unique_ptr<wxEventLoopBase> loop_;
  bool gui_ = false;
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

}  // namespace

bool& UseGuiEventLoop() {
  static bool gui = false;
  return gui;
}

bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
  wxEventLoopBase* loop = WxEnvironment::loop();
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
  if (WxEnvironment::loop() == nullptr) GTEST_SKIP() << "no display for the GTK event loop";
  previous_ = std::filesystem::current_path();
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "session-test-%08x", static_cast<unsigned>(random()));
    const auto candidate = std::filesystem::temp_directory_path() / name;
    if (std::filesystem::create_directory(candidate)) root_ = candidate;
  }
  ASSERT_FALSE(root_.empty());
  std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  work_ = root_ / "work";
  std::filesystem::create_directory(work_);
  std::filesystem::current_path(work_);
  host_.outcome = &outcome_;
}

void SessionTest::TearDown() {
  if (root_.empty()) return;
  session_.reset();
  std::filesystem::current_path(previous_);
  std::filesystem::remove_all(root_);
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
