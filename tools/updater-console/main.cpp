// updater-console: runs one update session in the current directory, as the
// update window would, and prints one line per event. With --install it then
// installs what was received, as the update window does when its OK button is
// pressed. Exit status 0 when the session completed or was up to date (and,
// with --install, the installation succeeded), 1 after any failure, 2 for a
// command line it does not understand.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/timer.h>

#include "config/settings.h"
#include "console_host.h"
#include "diag/trace.h"
#include "platform/socket_layer.h"
#include "session/update_session.h"
#include "session/update_socket.h"

namespace {

bool installRequested = false;  // --install
int idleSeconds = 60;           // --idle-timeout

class ConsoleApp : public wxAppConsole {
 public:
  bool OnInit() override {
    const config::UpdaterSettings settings = config::LoadSettings();
    host_ = std::make_unique<console::ConsoleHost>(outcome_, stdout, [this](bool success) {
      diag::Trace("session-ended", "%s", success ? "complete" : "failed");
      status_ = success ? 0 : 1;
      if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->ScheduleExit(status_);
    });
    if (!platform::StartSocketLayer()) {
      host_->ShowMessage(resources::MessageId::MsgSocketInitFailed);
      return false;
    }
    host_->SetInstall(installRequested);
    session_ = std::make_unique<session::UpdateSession>(socket_, *host_, outcome_, settings.serverAddresses,
                                                        settings.port);
    // Start inside the running loop, so that ending at once can end it.
    CallAfter([this] { session_->ConnectToServers(); });
    // A window has its Cancel button; the console gives up on a server
    // that stays silent.
    lastActivity_ = std::chrono::steady_clock::now();
    idle_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      const auto now = std::chrono::steady_clock::now();
      if (host_->TakeActivity()) lastActivity_ = now;
      if (!host_->ended() && now - lastActivity_ >= std::chrono::seconds(idleSeconds)) {
        host_->GiveUp("no data from the server for " + std::to_string(idleSeconds) + " s: giving up");
      }
    });
    idle_.Start(250);
    return true;
  }
  int OnRun() override {
    wxAppConsole::OnRun();
    if (installRequested) {
      // What the window installs when its OK button is pressed: everything
      // received, also after the server closed the connection.
      host_->RunInstallation();
      if (!host_->installationSucceeded()) status_ = 1;
    }
    return status_;
  }
  int OnExit() override {
    session_.reset();
    return status_;
  }

 private:
  session::SessionOutcome outcome_;
  std::unique_ptr<console::ConsoleHost> host_;
  session::CUpdateSocket socket_;
  std::unique_ptr<session::UpdateSession> session_;
  int status_ = 1;
  wxTimer idle_;
  std::chrono::steady_clock::time_point lastActivity_;
};

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(ConsoleApp);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--install") {
      installRequested = true;
      continue;
    }
    if (argument == "--idle-timeout" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      idleSeconds = std::atoi(argv[++i]);
      continue;
    }
    std::fprintf(argument == "--help" ? stdout : stderr,
                 "usage: updater-console [--install] [--idle-timeout SECONDS]\n"
                 "  Runs one update session in the current directory, as the updater would\n"
                 "  (settings from Config.ini), and prints one line per event.\n"
                 "  --install       also install the received files and record File.ver\n"
                 "  --idle-timeout  give up after SECONDS without a byte from the server (60)\n"
                 "Exit status: 0 complete or up to date, 1 any failure, 2 bad usage.\n");
    return argument == "--help" ? 0 : 2;
  }
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  return wxEntry(toolkitArgc, toolkitArgv);
}
