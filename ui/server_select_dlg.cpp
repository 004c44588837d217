#include "ui/server_select_dlg.h"

#include <wx/button.h>
#include <wx/iconbndl.h>
#include <wx/listbox.h>
#include <wx/strconv.h>

#include <utility>
#include <vector>

#include "diag/trace.h"
#include "launch/client_launch.h"
#include "launch/server_list.h"
#include "resources/templates.h"
#include "ui/message_box.h"

namespace ui {

wxString ServerNameText(const std::string& bytes) {
  const wxString utf8 = wxString::FromUTF8(bytes.data(), bytes.size());
  if (!utf8.empty() || bytes.empty()) return utf8;
  return wxString(bytes.data(), wxCSConv(wxFONTENCODING_CP949), bytes.size());
}

CServerSelectDlg::CServerSelectDlg(wxWindow* parent, std::string clientExecutable)
    : clientExecutable_(std::move(clientExecutable)), icon_(resources::LoadUpdaterIcon()) {
  if (!resources::LoadDialogTemplate(this, parent, resources::kServerSelectTemplate)) return;
  SetClientSize(ConvertDialogToPixels(wxSize(217, 99)));
  Centre();
  serverList_ = dynamic_cast<wxListBox*>(FindWindow(IDC_SERVER_LIST));
  // Escape works as the Cancel button; Enter is handled below.
  SetEscapeId(IDC_SELECT_CANCEL);
  SetAffirmativeId(wxID_NONE);
  Bind(wxEVT_BUTTON, &CServerSelectDlg::OnConnect, this, IDC_CONNECT);
  Bind(wxEVT_LISTBOX_DCLICK, &CServerSelectDlg::OnConnect, this, IDC_SERVER_LIST);
  Bind(wxEVT_BUTTON, &CServerSelectDlg::OnCancel, this, IDC_SELECT_CANCEL);
  Bind(wxEVT_CHAR_HOOK, &CServerSelectDlg::OnCharHook, this);
}

int CServerSelectDlg::ShowModal() {
  if (serverList_ == nullptr) return 0;
  SetIcons(wxIconBundle(icon_));
  if (!LoadServerList()) return 0;
  serverList_->SetFocus();
  return wxDialog::ShowModal();
}

bool CServerSelectDlg::LoadServerList() {
  const std::optional<std::vector<launch::ServerEntry>> servers = launch::LoadServerList();
  if (!servers) {
    ShowNumberedMessage(resources::MessageId::MsgDamagedFile);
    return false;
  }
  // One insertion of the whole list: the list box takes it in one pass.
  wxArrayString names;
  std::vector<void*> addresses;
  names.reserve(servers->size());
  addresses.reserve(servers->size());
  for (const launch::ServerEntry& server : *servers) {
    names.push_back(ServerNameText(server.name));
    addresses.push_back(reinterpret_cast<void*>(static_cast<std::uintptr_t>(server.address)));
  }
  if (!servers->empty()) serverList_->Append(names, addresses.data());
  if (serverList_->GetCount() > 0) serverList_->SetSelection(0);
  diag::Trace("server-list", "%u", serverList_->GetCount());
  return true;
}

bool CServerSelectDlg::ConnectToSelected() {
  const int selected = serverList_->GetSelection();
  const std::uint32_t address =
      selected == wxNOT_FOUND ? 0xFFFFFFFFu
                              : static_cast<std::uint32_t>(
                                    reinterpret_cast<std::uintptr_t>(serverList_->GetClientData(selected)));
  return LaunchClient(launch::ClientArguments(address));
}

bool CServerSelectDlg::LaunchClient(const std::string& arguments) {
  const platform::StartFailure failure = launch::LaunchClient(clientExecutable_, arguments);
  if (failure.code == 0) return true;
  ShowMessageBox(nullptr, wxString::FromUTF8(failure.text), ApplicationName(), wxICON_ERROR);
  ShowNumberedMessage(resources::MessageId::MsgClientStartFailed);
  EndWith(0);
  return false;
}

void CServerSelectDlg::OnConnect(wxCommandEvent&) {
  ConnectToSelected();
  EndWith(0);
}

void CServerSelectDlg::OnCancel(wxCommandEvent&) { EndWith(0); }

// Enter connects unless another button has the focus, which then takes it.
void CServerSelectDlg::OnCharHook(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && event.GetModifiers() == wxMOD_NONE) {
    auto* focused = dynamic_cast<wxButton*>(FindFocus());
    if (focused == nullptr || focused->GetId() == IDC_CONNECT) {
      wxCommandEvent connect(wxEVT_BUTTON, IDC_CONNECT);
      OnConnect(connect);
      return;
    }
  }
  event.Skip();
}

void CServerSelectDlg::EndWith(int result) {
  if (IsModal()) EndModal(result);
}

}  // namespace ui
