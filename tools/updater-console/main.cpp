// updater-console: runs one update session in the current directory, as the
// update window would, and prints one line per event. Exit status 0 when the
// session completed or was up to date, 1 after any failure.

#include <cstdio>
#include <memory>

#include <wx/app.h>
#include <wx/evtloop.h>

#include "app/settings.h"
#include "console_host.h"
#include "session/update_session.h"

namespace {

class ConsoleApp : public wxAppConsole {
 public:
  bool OnInit() override {
    app::LoadSettings();
    host_ = std::make_unique<console::ConsoleHost>(outcome_, stdout, [this](bool success) {
      status_ = success ? 0 : 1;
      if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->ScheduleExit(status_);
    });
    session_ = std::make_unique<session::UpdateSession>(
        *host_, outcome_, app::updaterSettings.serverAddresses, app::updaterSettings.port);
    // Start inside the running loop, so that ending at once can end it.
    CallAfter([this] { session_->ConnectToServers(); });
    return true;
  }
  int OnRun() override {
    wxAppConsole::OnRun();
    return status_;
  }
  int OnExit() override {
    session_.reset();
    return status_;
  }

 private:
  session::SessionOutcome outcome_;
  std::unique_ptr<console::ConsoleHost> host_;
  std::unique_ptr<session::UpdateSession> session_;
  int status_ = 1;
};

}  // namespace

wxIMPLEMENT_APP_CONSOLE(ConsoleApp);
