#pragma once
/// CUpdateDlg: the updater's main window, built from dialog template 102:
/// the notice page above, the download area (file count, current file and
/// total progress) and the Cancel / OK buttons below.

#include <wx/dialog.h>
#include <wx/icon.h>

class wxButton;
class wxGauge;
class wxStaticText;
class wxWebView;

namespace ui {

/// Control ids of template 102.
enum UpdateDlgControl {
  IDC_CURRENT_TEXT = 1002,
  IDC_TOTAL_TEXT = 1003,
  IDC_CURRENT_PROGRESS = 1004,
  IDC_TOTAL_PROGRESS = 1005,
  IDC_FILE_COUNT_TEXT = 1006,
  IDC_NOTICE_VIEW = 1012,
  IDC_DOWNLOAD_AREA = 1014,
  IDC_FILE_COUNT_LABEL = 1015,
  IDC_CURRENT_LABEL = 1017,
  IDC_TOTAL_LABEL = 1018,
  IDC_CANCEL = 1019,
  IDC_OK = 1020,
};

class CUpdateDlg : public wxDialog {
 public:
  explicit CUpdateDlg(wxWindow* parent = nullptr);

  /// The notice viewer: a wxWebView, or a plain placeholder panel when no web
  /// view back end is available.
  wxWindow* noticeView() const { return noticeView_; }
  wxGauge* totalProgress() const { return totalProgress_; }
  wxGauge* currentProgress() const { return currentProgress_; }
  wxStaticText* fileCountText() const { return fileCountText_; }
  wxStaticText* currentText() const { return currentText_; }
  wxStaticText* totalText() const { return totalText_; }

  /// The client size and each control's rectangle follow the template's
  /// dialog units in the window's own font.
  static wxSize TemplateClientSize() { return wxSize(300, 267); }

 private:
  void OnCancel(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnPaint(wxPaintEvent& event);

  wxWindow* noticeView_ = nullptr;
  wxGauge* totalProgress_ = nullptr;
  wxGauge* currentProgress_ = nullptr;
  wxStaticText* fileCountText_ = nullptr;
  wxStaticText* currentText_ = nullptr;
  wxStaticText* totalText_ = nullptr;
  wxIcon icon_;
  bool painted_ = false;
};

}  // namespace ui
