#include "ui/wait_dlg.h"

#include <wx/log.h>
#include <wx/xrc/xmlres.h>

#include "resources/templates.h"

namespace ui {

CWaitDlg::CWaitDlg(wxWindow* parent) {
  if (!resources::LoadDialogTemplates() ||
      !wxXmlResource::Get()->LoadPanel(this, parent, resources::kWaitPanelTemplate)) {
    wxLogError("dialog template %s is missing", resources::kWaitPanelTemplate);
    return;
  }
  // As for the update window: dialog units in the panel's own font.
  SetSize(ConvertDialogToPixels(wxSize(217, 99)));
  Hide();
}

}  // namespace ui
