#include "app/updater_app.h"

#include "config/settings.h"
#include "platform/executable.h"
#include "platform/single_instance.h"
#include "platform/socket_layer.h"
#include "ui/message_box.h"
#include "ui/update_dlg.h"

namespace app {

bool CUpdaterApp::startupRan_ = false;

bool CUpdaterApp::OnInit() {
  startupRan_ = true;
  const std::string baseName = platform::ExecutableBaseName();
  SetAppName(wxString::FromUTF8(baseName));

  const config::UpdaterSettings settings = config::LoadSettings();

  if (platform::AcquireSingleInstance(baseName) != 0) {
    ui::ShowAlreadyRunning();
    return false;
  }
  if (!platform::StartSocketLayer()) {
    ui::ShowNumberedMessage(resources::MessageId::MsgSocketInitFailed);
    return false;
  }
  {
    ui::CUpdateDlg dialog(nullptr, settings);
    SetTopWindow(&dialog);
    dialog.ShowModal();
    SetTopWindow(nullptr);
  }
  return false;
}

}  // namespace app
