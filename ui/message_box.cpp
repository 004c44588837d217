#include "ui/message_box.h"

#include <wx/app.h>
#include <wx/msgdlg.h>  // declares the base of the generic dialog
#include <wx/generic/msgdlgg.h>
#include <wx/window.h>

#include "diag/trace.h"
#include "platform/executable.h"

namespace ui {

wxString ApplicationName() {
  if (wxTheApp != nullptr && !wxTheApp->GetAppName().empty()) return wxTheApp->GetAppName();
  return wxString::FromUTF8(platform::ExecutableBaseName());
}

long IconStyle(resources::MessageIcon icon) {
  switch (icon) {
    case resources::MessageIcon::Error: return wxICON_ERROR;
    case resources::MessageIcon::Information: return wxICON_INFORMATION;
    case resources::MessageIcon::Warning: break;
  }
  return wxICON_WARNING;
}

void ShowMessageBox(wxWindow* owner, const wxString& text, const wxString& caption, long icon) {
  if (diag::TraceEnabled()) {
    wxString oneLine = text;
    oneLine.Replace("\n", "\\n");
    diag::Trace("message-box", "%s|%s", caption.utf8_str().data(), oneLine.utf8_str().data());
  }
#ifdef __WXMSW__
  // The system's own message box, as the program always showed it.
  wxMessageDialog box(owner, text, caption, wxOK | icon | wxCENTRE);
#else
  wxGenericMessageDialog box(owner, text, caption, wxOK | icon | wxCENTRE);
#endif
  box.ShowModal();
}

void ShowNumberedMessage(resources::MessageId id) {
  const resources::NumberedMessage& message = resources::GetNumberedMessage(id);
  ShowMessageBox(wxGetActiveWindow(), wxString::FromUTF8(message.text), ApplicationName(),
                 IconStyle(message.icon));
}

void ShowAlreadyRunning() {
  ShowMessageBox(nullptr, wxString::FromUTF8(resources::kAlreadyRunningText),
                 wxString::FromUTF8(resources::kAlreadyRunningCaption), wxICON_ERROR);
}

void ShowSystemError(const wxString& caption, int code) {
  if (code == 0) return;
  ShowMessageBox(nullptr, wxString::FromUTF8(platform::SystemErrorText(code)), caption,
                 wxICON_ERROR);
}

}  // namespace ui
