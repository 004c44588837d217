// updater-console: runs one update session in the current directory, as the
// update window would, and prints one line per event. With --install it then
// installs what was received, as the update window does when its OK button is
// pressed. Exit status 0 when the session completed or was up to date (and,
// with --install, the installation succeeded), 1 after any failure, 2 for a
// command line it does not understand. --verify and --repair check the
// installed game against its signed manifest instead of running a session.

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
#include "files/version_file.h"
#include "install/game_check.h"
#include "platform/socket_layer.h"
#include "session/update_session.h"
#include "session/update_socket.h"

namespace {

bool installRequested = false;  // --install
enum class GameCheckMode { None, Verify, Repair } gameCheck = GameCheckMode::None;

/// --verify and --repair: the installed game against the installed manifest.
int CheckGame(GameCheckMode mode) {
  const install::GameCheck check = install::CheckInstalledGame(config::LoadSettings().publicKey);
  if (!check.problem.empty()) {
    std::printf("cannot check: %s\n", check.problem.c_str());
    return 1;
  }
  for (const std::string& name : check.missing) std::printf("missing: %s\n", name.c_str());
  for (const std::string& name : check.damaged) std::printf("damaged: %s\n", name.c_str());
  if (check.allMatch()) {
    std::printf("all %zu file(s) match the signed manifest\n", check.checked);
    return 0;
  }
  std::printf("%zu of %zu file(s) missing or damaged\n", check.missing.size() + check.damaged.size(),
              check.checked);
  if (mode == GameCheckMode::Verify) return 1;
  if (!files::WriteVersionFile(0, 0)) {
    std::printf("cannot write %s\n", files::kVersionFileName);
    return 1;
  }
  std::printf("versions 0 0 recorded in %s: the next update brings every file again\n",
              files::kVersionFileName);
  return 0;
}
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
    host_->SetPublicKey(settings.publicKey);
    session_ = std::make_unique<session::UpdateSession>(socket_, *host_, outcome_, settings.serverAddresses,
                                                        settings.port);
    session_->HashStreams(settings.checksReleases());
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
      // received, also after the server closed the connection. The session
      // is over: a file still open is closed first, as the window's going does.
      session_->Shutdown();
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
    if ((argument == "--verify" || argument == "--repair") && argc == 2) {
      gameCheck = argument == "--verify" ? GameCheckMode::Verify : GameCheckMode::Repair;
      continue;
    }
    if (argument == "--idle-timeout" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      idleSeconds = std::atoi(argv[++i]);
      continue;
    }
    std::fprintf(argument == "--help" ? stdout : stderr,
                 "usage: updater-console [--install] [--idle-timeout SECONDS]\n"
                 "       updater-console --verify | --repair\n"
                 "  Runs one update session in the current directory, as the updater would\n"
                 "  (settings from Config.ini), and prints one line per event.\n"
                 "  --install       also install the received files and record File.ver\n"
                 "  --idle-timeout  give up after SECONDS without a byte from the server (60)\n"
                 "  --verify        check the installed game against its signed manifest (the\n"
                 "                  PublicKey of Config.ini); print each missing or damaged file\n"
                 "  --repair        the same, and when a file is missing or damaged record\n"
                 "                  versions 0 0 in File.ver, so the next update brings every file\n"
                 "Exit status: 0 complete or up to date (--verify: all match; --repair: all match\n"
                 "or versions recorded), 1 any failure, 2 bad usage.\n");
    return argument == "--help" ? 0 : 2;
  }
  if (gameCheck != GameCheckMode::None) return CheckGame(gameCheck);
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  return wxEntry(toolkitArgc, toolkitArgv);
}
