#pragma once
/// CUpdateDlg: the updater's main window, built from dialog template 102:
/// the notice page above, the download area (file count, current file and
/// total progress) and the Cancel / OK buttons below. It hosts the update
/// session: it owns the session's outcome (the received files and the
/// versions they bring), the session and its socket, follows the session's
/// events, and installs what was received on every way out.

#include <memory>
#include <string>

#include <wx/dialog.h>
#include <wx/icon.h>

#include "config/settings.h"
#include "session/session_host.h"

class wxButton;
class wxGauge;
class wxStaticText;

namespace session {
class CUpdateSocket;
class UpdateSession;
}

namespace ui {

class CWaitDlg;
class DownloadProgress;
class NoticeView;

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

class CUpdateDlg : public wxDialog, private session::SessionEvents {
 public:
  /// SETTINGS: the servers to ask, and the client the server selection starts.
  explicit CUpdateDlg(wxWindow* parent = nullptr, config::UpdaterSettings settings = {});
  /// Installs what was received completely, then closes the connection.
  ~CUpdateDlg() override;

  /// The notice viewer: a wxWebView, or a plain panel when no web view back
  /// end is available.
  wxWindow* noticeView() const;
  wxGauge* totalProgress() const { return totalProgress_; }
  wxGauge* currentProgress() const { return currentProgress_; }
  wxStaticText* fileCountText() const { return fileCountText_; }
  wxStaticText* currentText() const { return currentText_; }
  wxStaticText* totalText() const { return totalText_; }
  CWaitDlg* waitPanel() const { return waitPanel_; }
  const session::SessionOutcome& outcome() const { return outcome_; }

  /// The client size follows the template's dialog units in the window's own font.
  static wxSize TemplateClientSize() { return wxSize(300, 267); }

  /// Installs the files received completely (and records the versions they
  /// bring) behind the wait panel; a second call finds nothing left to do.
  /// With a key in the settings they are checked against the signed
  /// manifest first: refused, none is installed and none is left behind.
  void RunInstallation();

 private:
  // The session's events, shown.
  void OnNoticeCurrent() override { ShowNotice(); }
  void OnUpToDate() override { CollapseDownloadArea(); }
  void OnComplete() override { CollapseDownloadArea(); }
  void OnFileList(const session::FileListHeader& header) override;
  void OnFileStarted(const std::string& localName, std::int32_t bytes, std::uint32_t version) override;
  void OnProgressTexts(const session::ProgressTexts& texts) override;
  void OnBodyWritten(std::int32_t bytes) override;
  void OnFailed(const session::SessionFailure& failure) override;
  /// Repaints at once and installs what arrived completely.
  void OnConnectionClosed(int errorCode) override;

  void ShowNotice();
  void CollapseDownloadArea();
  /// True when what was received may be installed: no key, or it matches
  /// the signed manifest that came with it. Otherwise the downloads go and
  /// the player sees message 8 (unless the player already left a session
  /// that never completed, or message 4 follows), and the window ends.
  bool CheckReceived();
  /// Ends the modal run with result 0.
  void EndWindow();
  void RepaintNow();

  void OnInitDialog(wxInitDialogEvent& event);
  void OnOk(wxCommandEvent& event);
  void OnCancel(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnPaint(wxPaintEvent& event);

  /// The OK button: install behind the wait panel, end this window and run
  /// the server selection.
  void FinishUpdate();
  /// Gives the window the outer size OUTER, keeping its top-left corner.
  void SetOuterSize(const wxSize& outer);
  /// Ends the modal run with RESULT (once; later requests are ignored).
  void EndWith(int result);

  config::UpdaterSettings settings_;
  std::unique_ptr<NoticeView> notice_;
  wxGauge* totalProgress_ = nullptr;
  wxGauge* currentProgress_ = nullptr;
  wxStaticText* fileCountText_ = nullptr;
  wxStaticText* currentText_ = nullptr;
  wxStaticText* totalText_ = nullptr;
  std::unique_ptr<DownloadProgress> progress_;
  wxIcon icon_;
  CWaitDlg* waitPanel_ = nullptr;
  session::SessionOutcome outcome_;
  std::unique_ptr<session::CUpdateSocket> socket_;
  std::unique_ptr<session::UpdateSession> session_;  // uses socket_, so goes first
  bool collapsed_ = false;
  /// OK holds the focus only because the collapse hid Cancel, which had it.
  bool okFocusedByCollapse_ = false;
  bool painted_ = false;
  bool destroying_ = false;
  bool refused_ = false;          // a check refused the session's downloads
  bool connectionBroke_ = false;  // message 4 follows
};

}  // namespace ui
