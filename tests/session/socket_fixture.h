#pragma once
// The session suites that need a real socket: wxWidgets without a display
// (or on GTK, gtk_loop.cpp), CUpdateSocket against the scripted server on
// 127.0.0.1, and running the event loop.

#include <functional>
#include <memory>
#include <string>

#include "session/update_socket.h"
#include "session_fixture.h"

namespace testing_session {

/// Set before the tests run to use the GTK event loop instead of the console one.
bool& UseGuiEventLoop();

/// Runs the event loop until DONE or TIMEOUTMS; false on timeout.
bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 5000);
/// Runs the loop for MS milliseconds.
void RunLoopFor(int ms);

class SessionTest : public WorkFolderTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// A session against 127.0.0.1:PORT (IP1 and IP2 as given).
  session::UpdateSession& MakeSession(std::uint16_t port, std::string ip1 = "127.0.0.1",
                                      std::string ip2 = "");
  /// Runs the loop until the host ended, collapsed or saw the connection close.
  bool RunUntilSettled(int timeoutMs = 5000);

  RecordingHost host_;
  session::SessionOutcome outcome_;
  session::CUpdateSocket socket_;
  std::unique_ptr<session::UpdateSession> session_;
};

}  // namespace testing_session
