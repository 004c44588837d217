#include "socket_fixture.h"

#include <chrono>

#include <wx/evtloop.h>

#include "platform/socket_layer.h"
#include "test_support/wx_env.h"

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
  if (test_support::WxEnvironment::EventLoop() == nullptr)
    GTEST_SKIP() << "no display for the GTK event loop";
  WorkFolderTest::SetUp();
  host_.outcome = &outcome_;
}

void SessionTest::TearDown() {
  session_.reset();
  WorkFolderTest::TearDown();
}

session::UpdateSession& SessionTest::MakeSession(std::uint16_t port, std::string ip1, std::string ip2) {
  session_ = std::make_unique<session::UpdateSession>(
      socket_, host_, outcome_, std::array<std::string, 2>{std::move(ip1), std::move(ip2)}, port);
  return *session_;
}

bool SessionTest::RunUntilSettled(int timeoutMs) {
  return RunLoopUntil([&] { return host_.ended || host_.collapses > 0 || session_->connectionClosed(); },
                      timeoutMs);
}

}  // namespace testing_session
