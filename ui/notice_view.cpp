#include "ui/notice_view.h"

#include <wx/panel.h>
#include <wx/utils.h>
#include <wx/webview.h>


#include <cctype>
#include <cstdio>

#include "diag/trace.h"
#include "platform/file_times.h"

namespace ui {
namespace {

wxString WithoutFragment(const wxString& url) { return url.BeforeFirst('#'); }

/// Addresses handed to the player's browser: web pages and mail only, never
/// local files or script URLs that a hostile page could name.
bool OpensInBrowser(const wxString& url) {
  const wxString lower = url.Lower();
  return lower.StartsWith("http://") || lower.StartsWith("https://") || lower.StartsWith("mailto:");
}

}  // namespace

wxString FileUrl(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  // A Windows path (C:\Games\Notice.html) becomes file:///C:/Games/Notice.html:
  // its drive stays as it is and its separators are slashes, as the system's
  // browser control expects; a POSIX path (/home/...) is taken as it is.
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                     path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  std::string url = drive ? "file:///" + path.substr(0, 2) : "file://";
  for (const unsigned char c : path.substr(drive ? 2 : 0)) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      url += static_cast<char>(c);
    } else if (drive && c == '\\') {
      url += '/';
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return wxString::FromUTF8(url);
}

NoticeView::NoticeView(wxWindow* parent, int id) {
  if (wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) {
    webView_ = wxWebView::New(parent, id, wxWebViewDefaultURLStr);
  }
  if (webView_ == nullptr) {
    std::fprintf(stderr, "Update: no web view back end is available; the notice page is not shown\n");
    window_ = new wxPanel(parent, id);
    return;
  }
  window_ = webView_;
  webView_->EnableHistory(false);
  webView_->EnableContextMenu(false);
  webView_->Bind(wxEVT_WEBVIEW_NAVIGATING, &NoticeView::OnNavigating, this);
  webView_->Bind(wxEVT_WEBVIEW_NEWWINDOW, &NoticeView::OnNewWindow, this);
  webView_->Bind(wxEVT_WEBVIEW_LOADED, &NoticeView::OnLoaded, this);
  webView_->Bind(wxEVT_WEBVIEW_TITLE_CHANGED, [this](wxWebViewEvent& event) {
    if (IsThePage(webView_->GetCurrentURL())) {
      diag::Trace("notice-title", "%s", event.GetString().utf8_str().data());
    }
    event.Skip();
  });
}

void NoticeView::Navigate(const std::string& path) {
  if (webView_ == nullptr) return;
  const wxString url = FileUrl(path);
  FileState now;
  platform::FileStamp stamp;
  if (platform::ReadFileStamp(path, stamp)) now = {stamp.size, stamp.modified, stamp.changed, stamp.inode};
  // Loading the same page again would only start the view over.
  if (url == pageUrl_ && now == shown_ && now.size >= 0) return;
  pageUrl_ = url;
  pagePath_ = wxString(path);
  shown_ = now;
  webView_->LoadURL(url);
}

bool NoticeView::IsThePage(const wxString& url) const {
  const wxString page = WithoutFragment(url);
  return !pageUrl_.empty() && (page == pageUrl_ || page == pagePath_);
}

void NoticeView::OnNavigating(wxWebViewEvent& event) {
  const wxString url = event.GetURL();
  if (IsThePage(url) || url.StartsWith("about:")) return;
  event.Veto();
  diag::Trace("notice-refused", "%s", url.utf8_str().data());
  if (event.GetNavigationAction() == wxWEBVIEW_NAV_ACTION_USER && OpensInBrowser(url)) {
    wxLaunchDefaultBrowser(url);
  }
}

// The view opens no window itself; a link meant for a new window that the
// player clicked goes to the browser like any other.
void NoticeView::OnNewWindow(wxWebViewEvent& event) {
  diag::Trace("notice-refused", "new window %s", event.GetURL().utf8_str().data());
  if (event.GetNavigationAction() == wxWEBVIEW_NAV_ACTION_USER && OpensInBrowser(event.GetURL())) {
    wxLaunchDefaultBrowser(event.GetURL());
  }
}

void NoticeView::OnLoaded(wxWebViewEvent& event) {
  if (diag::TraceEnabled() && IsThePage(event.GetURL())) {
    diag::Trace("notice-loaded", "%s", event.GetURL().utf8_str().data());
  }
  event.Skip();
}

}  // namespace ui
