#include "app/updater_app.h"

#include "app/message_box.h"
#include "app/settings.h"
#include "platform/executable.h"
#include "platform/single_instance.h"
#include "platform/socket_layer.h"
#include "ui/update_dlg.h"

namespace app {

bool CUpdaterApp::startupRan_ = false;

bool CUpdaterApp::OnInit() {
  startupRan_ = true;
  const std::string baseName = platform::ExecutableBaseName();
  SetAppName(wxString::FromUTF8(baseName));

  LoadSettings();

  if (platform::AcquireSingleInstance(baseName) != 0) {
    ShowAlreadyRunning();
    return false;
  }
  if (!platform::StartSocketLayer()) {
    ShowNumberedMessage(resources::MessageId::MsgSocketInitFailed);
    return false;
  }
  {
    ui::CUpdateDlg dialog(nullptr);
    SetTopWindow(&dialog);
    dialog.ShowModal();
    SetTopWindow(nullptr);
  }
  return false;
}

}  // namespace app
