#pragma once
/// CWaitDlg: the wait panel of template 131, a borderless child of the update
/// window that is shown only while the downloaded files are installed.

#include <thread>

#include <wx/panel.h>

namespace ui {

class CWaitDlg : public wxPanel {
 public:
  /// Loads template 131 as a hidden child of PARENT.
  explicit CWaitDlg(wxWindow* parent);

  /// The installation worker started by the last installation.
  std::thread workerThread;
};

}  // namespace ui
