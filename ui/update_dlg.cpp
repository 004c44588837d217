#include "ui/update_dlg.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/evtloop.h>
#include <wx/gauge.h>
#include <wx/iconbndl.h>
#include <wx/log.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/utils.h>
#include <wx/xrc/xmlres.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <cerrno>

#include "diag/trace.h"
#include "files/notice_file.h"
#include "install/installation.h"
#include "platform/current_directory.h"
#include "platform/paths.h"
#include "resources/templates.h"
#include "session/download_check.h"
#include "session/update_session.h"
#include "session/update_socket.h"
#include "ui/download_progress.h"
#include "ui/message_box.h"
#include "ui/notice_view.h"
#include "ui/server_select_dlg.h"
#include "ui/wait_dlg.h"

namespace ui {

namespace {

template <typename T>
T* Control(wxWindow* dialog, int id) {
  return dynamic_cast<T*>(dialog->FindWindow(id));
}

/// The controls of the download area, hidden when it collapses.
constexpr int kDownloadAreaControls[] = {IDC_FILE_COUNT_LABEL, IDC_CURRENT_LABEL, IDC_TOTAL_LABEL,
                                         IDC_FILE_COUNT_TEXT,  IDC_TOTAL_TEXT,    IDC_CURRENT_TEXT,
                                         IDC_CURRENT_PROGRESS, IDC_TOTAL_PROGRESS};

}  // namespace

CUpdateDlg::CUpdateDlg(wxWindow* parent, config::UpdaterSettings settings)
    : settings_(std::move(settings)), icon_(resources::LoadUpdaterIcon()) {
  if (!resources::LoadDialogTemplate(this, parent, resources::kUpdateDialogTemplate)) return;
  // The template's size was converted before its font was applied; the
  // window measures dialog units in its own font, as its controls did.
  SetClientSize(ConvertDialogToPixels(TemplateClientSize()));
  Centre();

  notice_ = std::make_unique<NoticeView>(this, IDC_NOTICE_VIEW);
  wxXmlResource::Get()->AttachUnknownControl(wxString::Format("%d", IDC_NOTICE_VIEW), notice_->window(),
                                             this);

  totalProgress_ = Control<wxGauge>(this, IDC_TOTAL_PROGRESS);
  currentProgress_ = Control<wxGauge>(this, IDC_CURRENT_PROGRESS);
  fileCountText_ = Control<wxStaticText>(this, IDC_FILE_COUNT_TEXT);
  currentText_ = Control<wxStaticText>(this, IDC_CURRENT_TEXT);
  totalText_ = Control<wxStaticText>(this, IDC_TOTAL_TEXT);
  progress_ = std::make_unique<DownloadProgress>(totalProgress_, currentProgress_, fileCountText_,
                                                 currentText_, totalText_);
  socket_ = std::make_unique<session::CUpdateSocket>();
  session_ = std::make_unique<session::UpdateSession>(*socket_, static_cast<session::SessionEvents&>(*this),
                                                      outcome_, settings_.serverAddresses, settings_.port);
  session_->HashStreams(settings_.checksReleases());

  // No default button: Enter is handled below, as the default OK processing.
  SetAffirmativeId(wxID_NONE);
  SetEscapeId(wxID_NONE);

  Bind(wxEVT_INIT_DIALOG, &CUpdateDlg::OnInitDialog, this);
  Bind(wxEVT_BUTTON, &CUpdateDlg::OnOk, this, IDC_OK);
  Bind(wxEVT_BUTTON, &CUpdateDlg::OnCancel, this, IDC_CANCEL);
  Bind(wxEVT_CHAR_HOOK, &CUpdateDlg::OnCharHook, this);
  Bind(wxEVT_CLOSE_WINDOW, &CUpdateDlg::OnClose, this);
  Bind(wxEVT_PAINT, &CUpdateDlg::OnPaint, this);
}

CUpdateDlg::~CUpdateDlg() {
  if (session_ == nullptr) return;  // the template could not be loaded
  destroying_ = true;
  RunInstallation();
  session_->Shutdown();
}

wxWindow* CUpdateDlg::noticeView() const { return notice_ ? notice_->window() : nullptr; }

// Runs when the window is first shown: the texts are in their controls
// already; then the icon, the hidden wait panel and the session.
void CUpdateDlg::OnInitDialog(wxInitDialogEvent& event) {
  event.Skip();  // the default processing puts the texts into their controls
  SetIcons(wxIconBundle(icon_));
  if (waitPanel_ == nullptr) waitPanel_ = new CWaitDlg(this);
  session_->ConnectToServers();
}

void CUpdateDlg::ShowNotice() {
  if (!files::ShowableNoticeSize()) return;
  const std::string directory = platform::CurrentDirectory();
  if (directory.empty()) {
    const int error = platform::LastSystemError();  // before anything else can change it
    ShowSystemError(ApplicationName(), error);
    return;
  }
  notice_->Navigate(platform::JoinDirectory(directory, files::kNoticeName));
}

void CUpdateDlg::CollapseDownloadArea() {
  if (collapsed_) return;
  collapsed_ = true;
  progress_->Finish();
  const int h = FindWindow(IDC_DOWNLOAD_AREA)->GetSize().GetHeight();
  for (int id : kDownloadAreaControls) FindWindow(id)->Hide();
  wxWindow* ok = FindWindow(IDC_OK);
  wxWindow* cancel = FindWindow(IDC_CANCEL);
  const wxPoint cancelWas = cancel->GetPosition();
  const wxRect windowWas = GetRect();
  const bool cancelHadFocus = FindFocus() == cancel || FindFocus() == nullptr;
  ok->Show();
  cancel->Hide();
  // Keys must still reach the window: the focus moves from Cancel to OK.
  // That is not the player choosing OK: until the player moves the focus,
  // Enter stays the default OK processing (Enter below).
  if (cancelHadFocus) {
    ok->SetFocus();
    okFocusedByCollapse_ = true;
  }
  for (wxWindow* button : {ok, cancel}) {
    button->Move(button->GetPosition().x, button->GetPosition().y - h);
    button->Refresh();
  }
  SetOuterSize(wxSize(windowWas.width, windowWas.height - h));
  Refresh();
  const wxRect window = GetRect();
  diag::Trace("collapsed", "area %d cancel-was %d,%d ok %d,%d window-was %d,%d %dx%d window %d,%d %dx%d", h,
              cancelWas.x, cancelWas.y, ok->GetPosition().x, ok->GetPosition().y, windowWas.x, windowWas.y,
              windowWas.width, windowWas.height, window.x, window.y, window.width, window.height);
}

void CUpdateDlg::OnFileList(const session::FileListHeader& header) {
  progress_->SetTotalRange(header.totalBytes);
}
void CUpdateDlg::OnFileStarted(const std::string&, std::int32_t bytes, std::uint32_t) {
  progress_->SetFileRange(bytes);
}
void CUpdateDlg::OnBodyWritten(std::int32_t bytes) { progress_->Advance(bytes); }
void CUpdateDlg::OnProgressTexts(const session::ProgressTexts& texts) { progress_->SetTexts(texts); }

void CUpdateDlg::OnFailed(const session::SessionFailure& failure) {
  switch (failure.shown) {
    case session::SessionFailure::Shown::Message:
      ShowNumberedMessage(failure.message);
      break;
    case session::SessionFailure::Shown::CannotCreateFile:
      ShowMessageBox(this, wxString::Format("Can't create file %s", wxString::FromUTF8(failure.fileName)),
                     ApplicationName(), wxICON_ERROR);
      break;
    case session::SessionFailure::Shown::Nothing:
      break;
  }
  // Nothing connected: close later, as Cancel does.
  if (failure.closeLater) {
    CallAfter([this] { Close(); });
  } else {
    EndWindow();
  }
}

void CUpdateDlg::OnConnectionClosed(int errorCode) {
  RepaintNow();
  connectionBroke_ = errorCode != 0;
  RunInstallation();
}

bool CUpdateDlg::CheckReceived() {
  if (!settings_.checksReleases() || outcome_.downloads.empty()) return true;
  // Whatever is discarded below is closed first (a file still open cannot
  // be removed on Windows); nothing more is received on a way out.
  if (outcome_.receivedNames.empty()) {
    // Only part of a body arrived: nothing to install, nothing to keep.
    session_->Shutdown();
    session::DiscardDownloads(outcome_);
    return true;
  }
  const std::string why = session::CheckDownloads(settings_.publicKey, outcome_);
  if (why.empty()) return true;
  diag::Trace("refused", "%s", why.c_str());
  session_->Shutdown();
  session::DiscardDownloads(outcome_);
  refused_ = true;
  const bool left = destroying_ && session_->progress() != session::UpdateSession::Progress::Complete;
  if (!left && !connectionBroke_) ShowNumberedMessage(resources::MessageId::MsgUnverifiedUpdate);
  EndWindow();
  return false;
}

void CUpdateDlg::EndWindow() { EndWith(0); }

void CUpdateDlg::RepaintNow() {
  Refresh();
  Update();
}

// Through the client size: on GTK a window whose client size was set before
// it was shown keeps that as its smallest size for SetSize, but not for
// SetClientSize. The top-left corner stays where it is either way.
void CUpdateDlg::SetOuterSize(const wxSize& outer) { SetClientSize(outer - (GetSize() - GetClientSize())); }

void CUpdateDlg::EndWith(int result) {
  if (IsModal()) {
    EndModal(result);
  } else if (IsShown()) {
    // Asked before the modal run began (during the window's initialisation):
    // end it as soon as it runs.
    CallAfter([this, result] {
      if (IsModal()) EndModal(result);
    });
  }
}

// The worker runs the engine while this thread waits for it. Meanwhile the
// windows are painted (the panel must be visible before the wait and stay
// so), but nothing else reaches them: input waits in the toolkit's queue and
// the socket's notifications are held back, so no handler of this window
// runs and the engine's state, the received names and the versions belong
// to the worker alone until it ends. What the worker has to tell the player
// is shown here, on this thread, before the panel goes away.
void CUpdateDlg::RunInstallation() {
  if (waitPanel_ == nullptr) return;  // never initialised, so nothing was received
  if (!CheckReceived()) return;
  wxBeginBusyCursor();
  socket_->HoldNotifications();
  install::InstallResult result;
  std::atomic<bool> done{false};
  waitPanel_->workerThread = std::thread([this, &result, &done] {
    result =
        install::InstallReceivedFiles(outcome_.receivedNames, outcome_.versions[0], outcome_.versions[1]);
    done = true;
  });

  const wxSize client = GetClientSize();
  const wxSize panel = waitPanel_->GetSize();
  waitPanel_->Move(std::max(0, (client.x - panel.x) / 2), std::max(0, (client.y - panel.y) / 2));
  waitPanel_->Show();
  waitPanel_->Raise();
  waitPanel_->Refresh();
  diag::Trace("wait-panel", "shown");
  {
    // After the modal run (at destruction) no loop is running: paint through one of our own.
    wxGUIEventLoop ownLoop;
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    std::optional<wxEventLoopActivator> activate;
    if (loop == nullptr) {
      activate.emplace(&ownLoop);
      loop = &ownLoop;
    }
    while (!done) {
      loop->YieldFor(wxEVT_CATEGORY_UI);
      if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  waitPanel_->workerThread.join();
  if (result.outcome == install::InstallResult::Outcome::Installed) {
    outcome_.downloads.clear();  // installed: no longer downloads to remove
    outcome_.streams.clear();
  }

  if (result.failed()) {
    // The window ends after a failure; its connection is of no further use.
    session_->Shutdown();
    ShowMessageBox(nullptr, wxString::FromUTF8(result.FailureText()), ApplicationName(), wxICON_ERROR);
    EndWindow();
  }
  socket_->ReleaseNotifications();
  waitPanel_->Hide();
  wxEndBusyCursor();
  diag::Trace("wait-panel", "hidden %d installed", result.installed);
}

void CUpdateDlg::FinishUpdate() {
  noticeView()->Hide();
  FindWindow(IDC_CANCEL)->Hide();
  SetOuterSize(waitPanel_->GetClientSize());
  Refresh();
  Update();
  RunInstallation();
  EndWith(0);
  if (refused_) return;  // ended as after a lost connection: no game to start

  CServerSelectDlg selection(nullptr, settings_.clientExecutable);
  wxWindow* previousTop = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
  if (wxTheApp != nullptr) wxTheApp->SetTopWindow(&selection);
  selection.ShowModal();
  if (wxTheApp != nullptr) wxTheApp->SetTopWindow(previousTop);
}

void CUpdateDlg::OnOk(wxCommandEvent&) { FinishUpdate(); }

void CUpdateDlg::OnCancel(wxCommandEvent&) { EndWith(0); }

void CUpdateDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetModifiers() != wxMOD_NONE) {
    event.Skip();
    return;
  }
  switch (event.GetKeyCode()) {
    case WXK_ESCAPE:
      EndWith(0);
      return;
    case WXK_TAB:
      okFocusedByCollapse_ = false;  // the player moves the focus now
      break;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      // A button the player focused takes Enter itself; otherwise Enter is
      // the default OK processing: the texts are read back and the run ends
      // with OK (the installation runs on the way out, no server list).
      if (okFocusedByCollapse_ || dynamic_cast<wxButton*>(FindFocus()) == nullptr) {
        TransferDataFromWindow();
        EndWith(wxID_OK);
        return;
      }
      break;
    default:
      break;
  }
  event.Skip();
}

void CUpdateDlg::OnClose(wxCloseEvent& event) {
  if (IsModal()) {
    EndWith(0);
  } else {
    event.Skip();
  }
}

void CUpdateDlg::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  if (painted_) return;
  painted_ = true;
  const wxRect cancel = FindWindow(IDC_CANCEL)->GetRect();
  diag::Trace("first-paint", "%s %s %s cancel %d,%d %dx%d", fileCountText_->GetLabel().utf8_str().data(),
              currentText_->GetLabel().utf8_str().data(), totalText_->GetLabel().utf8_str().data(), cancel.x,
              cancel.y, cancel.width, cancel.height);
}

}  // namespace ui
