#include "ui/update_dlg.h"

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/gauge.h>
#include <wx/iconbndl.h>
#include <wx/log.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/webview.h>
#include <wx/xrc/xmlres.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "resources/templates.h"

namespace ui {

namespace {

/// Set (to anything) to have the window print when it first paints, as
/// "first-paint <microseconds since the epoch>" on standard error; used to
/// measure the start-up time.
constexpr const char* kPaintTraceVariable = "UPDATER_TRACE_FIRST_PAINT";

template <typename T>
T* Control(wxWindow* dialog, int id) {
  return dynamic_cast<T*>(dialog->FindWindow(id));
}

}  // namespace

CUpdateDlg::CUpdateDlg(wxWindow* parent) : icon_(resources::LoadUpdaterIcon()) {
  if (!resources::LoadDialogTemplates() ||
      !wxXmlResource::Get()->LoadDialog(this, parent, resources::kUpdateDialogTemplate)) {
    wxLogError("dialog template %s is missing", resources::kUpdateDialogTemplate);
    return;
  }
  // The template's size was converted before its font was applied; the
  // window measures dialog units in its own font, as its controls did.
  SetClientSize(ConvertDialogToPixels(TemplateClientSize()));
  Centre();

  wxWindow* view = nullptr;
  if (wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) {
    view = wxWebView::New(this, IDC_NOTICE_VIEW, wxWebViewDefaultURLStr);
  }
  if (view == nullptr) view = new wxPanel(this, IDC_NOTICE_VIEW);
  wxXmlResource::Get()->AttachUnknownControl(wxString::Format("%d", IDC_NOTICE_VIEW), view, this);
  noticeView_ = view;

  totalProgress_ = Control<wxGauge>(this, IDC_TOTAL_PROGRESS);
  currentProgress_ = Control<wxGauge>(this, IDC_CURRENT_PROGRESS);
  fileCountText_ = Control<wxStaticText>(this, IDC_FILE_COUNT_TEXT);
  currentText_ = Control<wxStaticText>(this, IDC_CURRENT_TEXT);
  totalText_ = Control<wxStaticText>(this, IDC_TOTAL_TEXT);

  SetIcons(wxIconBundle(icon_));
  // No default button: Enter is not routed to either of the two buttons.
  SetAffirmativeId(wxID_NONE);
  SetEscapeId(wxID_NONE);

  Bind(wxEVT_BUTTON, &CUpdateDlg::OnCancel, this, IDC_CANCEL);
  Bind(wxEVT_CHAR_HOOK, &CUpdateDlg::OnCharHook, this);
  Bind(wxEVT_CLOSE_WINDOW, &CUpdateDlg::OnClose, this);
  Bind(wxEVT_PAINT, &CUpdateDlg::OnPaint, this);
}

void CUpdateDlg::OnCancel(wxCommandEvent&) { EndModal(0); }

void CUpdateDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE && event.GetModifiers() == wxMOD_NONE) {
    EndModal(0);
    return;
  }
  event.Skip();
}

void CUpdateDlg::OnClose(wxCloseEvent& event) {
  if (IsModal()) EndModal(0);
  else event.Skip();
}

void CUpdateDlg::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  if (painted_) return;
  painted_ = true;
  if (std::getenv(kPaintTraceVariable) != nullptr) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::fprintf(stderr, "first-paint %lld\n", static_cast<long long>(now.count()));
    std::fflush(stderr);
  }
}

}  // namespace ui
