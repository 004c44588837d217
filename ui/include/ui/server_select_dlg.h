#pragma once
/// CServerSelectDlg: the game server selection of template 133. It shows the
/// servers of Server.cnv and starts the game client with the chosen server's
/// address; reading the list and starting the client are launch/'s.

#include <cstdint>
#include <string>

#include <wx/dialog.h>
#include <wx/icon.h>

#include "config/settings.h"

class wxListBox;

namespace ui {

/// Control ids of template 133.
enum ServerSelectControl {
  IDC_CONNECT = 1005,
  IDC_SERVER_LIST = 1006,
  IDC_SELECT_CANCEL = 1007,
};

class CServerSelectDlg : public wxDialog {
 public:
  /// CLIENTEXECUTABLE: the settings' Client, the program to start.
  explicit CServerSelectDlg(wxWindow* parent = nullptr,
                            std::string clientExecutable = config::UpdaterSettings{}.clientExecutable);

  /// Fills the list first; when it cannot be prepared the window is never
  /// shown and the result is 0.
  int ShowModal() override;

  wxListBox* serverList() const { return serverList_; }

  /// Reads Server.cnv into the list; false (after message 7) when it cannot.
  bool LoadServerList();
  /// Starts the client with the selected server's address.
  bool ConnectToSelected();
  /// Starts the client with ARGUMENTS; on failure shows why, then message 3,
  /// and ends the window.
  bool LaunchClient(const std::string& arguments);

 private:
  void OnConnect(wxCommandEvent& event);
  void OnCancel(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void EndWith(int result);

  std::string clientExecutable_;
  wxListBox* serverList_ = nullptr;
  wxIcon icon_;
};

/// A server name as the list shows it: the file's bytes as UTF-8 when they
/// are valid UTF-8, otherwise as the Korean code page (CP949) of lists made
/// on Windows.
wxString ServerNameText(const std::string& bytes);

}  // namespace ui
