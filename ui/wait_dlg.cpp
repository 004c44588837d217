#include "ui/wait_dlg.h"


#include "resources/templates.h"

namespace ui {

CWaitDlg::CWaitDlg(wxWindow* parent) {
  if (!resources::LoadPanelTemplate(this, parent, resources::kWaitPanelTemplate)) return;
  // As for the update window: dialog units in the panel's own font.
  SetSize(ConvertDialogToPixels(wxSize(217, 99)));
  Hide();
}

}  // namespace ui
