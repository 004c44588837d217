#include "ui/server_select_dlg.h"

#include <wx/button.h>
#include <wx/iconbndl.h>
#include <wx/listbox.h>
#include <wx/strconv.h>

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "app/message_box.h"
#include "app/settings.h"
#include "files/file_helpers.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "resources/templates.h"
#include "ui/server_list.h"
#include "session/wire.h"
#include "app/trace.h"

namespace ui {

wxString ServerNameText(const std::string& bytes) {
  const wxString utf8 = wxString::FromUTF8(bytes.data(), bytes.size());
  if (!utf8.empty() || bytes.empty()) return utf8;
  return wxString(bytes.data(), wxCSConv(wxFONTENCODING_CP949), bytes.size());
}

std::string ClientArguments(std::uint32_t address) {
  return "-Update /IP:" + session::Ipv4ToText(address);
}

CServerSelectDlg::CServerSelectDlg(wxWindow* parent) : icon_(resources::LoadUpdaterIcon()) {
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
  const std::string listPath = files::MakeTempPath("Server.lst");
  if (listPath.empty() || !files::UnscrambleFile("Server.cnv", listPath)) {
    app::ShowNumberedMessage(resources::MessageId::MsgDamagedFile);
    return false;
  }
  // One insertion of the whole list: the list box takes it in one pass.
  const std::vector<ServerEntry> servers = ReadServerList(listPath);
  wxArrayString names;
  std::vector<void*> addresses;
  names.reserve(servers.size());
  addresses.reserve(servers.size());
  for (const ServerEntry& server : servers) {
    names.push_back(ServerNameText(server.name));
    addresses.push_back(reinterpret_cast<void*>(static_cast<std::uintptr_t>(server.address)));
  }
  if (!servers.empty()) serverList_->Append(names, addresses.data());
  if (serverList_->GetCount() > 0) serverList_->SetSelection(0);
  std::remove(platform::HostPath(listPath).c_str());
  app::Trace("server-list", "%u", serverList_->GetCount());
  return true;
}

bool CServerSelectDlg::ConnectToSelected() {
  const int selected = serverList_->GetSelection();
  const std::uint32_t address =
      selected == wxNOT_FOUND ? 0xFFFFFFFFu
                              : static_cast<std::uint32_t>(
                                    reinterpret_cast<std::uintptr_t>(serverList_->GetClientData(selected)));
  return LaunchClient(ClientArguments(address));
}

bool CServerSelectDlg::LaunchClient(const std::string& arguments) {
  const platform::ClientLocation client = platform::SplitClientSetting(app::updaterSettings.clientExecutable);
  if (!client.directory.empty()) {
    // The client's own folder becomes current; a failure leaves the current one.
    [[maybe_unused]] const int changed = ::chdir(platform::HostPath(client.directory).c_str());
  }
  const platform::StartFailure failure = platform::StartClient(client.fileName, arguments);
  if (failure.code == 0) {
    app::Trace("client-started", "%s %s", client.fileName.c_str(), arguments.c_str());
    return true;
  }
  app::Trace("client-failed", "%s", failure.text.c_str());
  app::ShowMessageBox(nullptr, wxString::FromUTF8(failure.text), app::ApplicationName(), wxICON_ERROR);
  app::ShowNumberedMessage(resources::MessageId::MsgClientStartFailed);
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
