#pragma once
/// The notice viewer of the update window. The notice page comes from the
/// update server, so the view keeps to it: it never navigates away from the
/// page it was given and opens no windows; a link the player clicks opens in
/// the player's web browser instead, and the notice stays.

#include <string>

#include <wx/string.h>

class wxWindow;
class wxWebView;
class wxWebViewEvent;

namespace ui {

class NoticeView {
 public:
  /// Creates the viewer as control ID of PARENT: a web view, or, where no web
  /// view back end exists, a plain panel (said once on standard error).
  NoticeView(wxWindow* parent, int id);

  wxWindow* window() const { return window_; }
  bool hasWebView() const { return webView_ != nullptr; }

  /// Shows the local file PATH (absolute); without a web view it does nothing.
  /// The page already shown, unchanged on disk, is not loaded again.
  void Navigate(const std::string& path);

 private:
  void OnNavigating(wxWebViewEvent& event);
  void OnNewWindow(wxWebViewEvent& event);
  void OnLoaded(wxWebViewEvent& event);

  wxWindow* window_ = nullptr;
  wxWebView* webView_ = nullptr;
  /// Whether URL names the notice page: its file URL, or its plain path
  /// (the Windows back end reports a local file by its path).
  bool IsThePage(const wxString& url) const;

  wxString pageUrl_;   // the page the view may show, without a fragment
  wxString pagePath_;  // the same page as a path
  struct FileState {
    long long size = -1, modified = 0, changed = 0, inode = 0;
    bool operator==(const FileState&) const = default;
  };
  FileState shown_;   // of the file when it was last loaded
};

/// PATH as a file URL ("file:///…", every byte outside the unreserved set
/// escaped); a Windows path keeps its drive and has slashes for separators
/// ("file:///C:/Games/Notice.html").
wxString FileUrl(const std::string& path);

}  // namespace ui
