#include "ui/server_select_dlg.h"

#include <wx/button.h>
#include <wx/iconbndl.h>
#include <wx/listbox.h>
#include <wx/strconv.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/message_box.h"
#include "app/settings.h"
#include "files/file_helpers.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/socket_layer.h"
#include "resources/templates.h"
#include "session/wire.h"
#include "app/trace.h"

namespace ui {
namespace {

constexpr const char* kSection = "Server";
constexpr std::size_t kValueBuffer = 128;  // names and addresses: at most 127 characters

/// One past the highest N of any "NameN" or "IPN" key: entries beyond it
/// could only be empty, so a huge Count is not walked to its end.
std::uint32_t EntriesPresent(const std::string& listPath) {
  std::uint32_t end = 0;
  for (const std::string& key : platform::GetProfileKeyNames(kSection, listPath)) {
    std::size_t prefix = 0;
    if (key.size() > 4 && strncasecmp(key.c_str(), "name", 4) == 0) prefix = 4;
    if (key.size() > 2 && strncasecmp(key.c_str(), "ip", 2) == 0) prefix = 2;
    if (prefix == 0 || !std::all_of(key.begin() + prefix, key.end(), ::isdigit)) continue;
    const unsigned long index = std::strtoul(key.c_str() + prefix, nullptr, 10);
    if (index < 0xFFFFFFFFul) end = std::max(end, static_cast<std::uint32_t>(index + 1));
  }
  return end;
}

}  // namespace

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
  const std::uint32_t count =
      std::min(platform::GetProfileInt(kSection, "Count", 0, listPath), EntriesPresent(listPath));
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string index = std::to_string(i);
    const std::string name = platform::GetProfileString(kSection, "Name" + index, "", listPath, kValueBuffer);
    const std::string ip = platform::GetProfileString(kSection, "IP" + index, "", listPath, kValueBuffer);
    // Not an address: all ones, as the address parser of the sockets gives it.
    const std::uint32_t address = platform::InetAddr(ip);
    serverList_->Append(ServerNameText(name), reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)));
  }
  if (serverList_->GetCount() > 0) serverList_->SetSelection(0);
  std::remove(platform::HostPath(listPath).c_str());
  app::Trace("server-list", "%u", serverList_->GetCount());
  return true;
}

bool CServerSelectDlg::ConnectToSelected() {
  const int selected = serverList_->GetSelection();
  const std::uint32_t address =
      selected == wxNOT_FOUND
          ? 0xFFFFFFFFu
          : static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(serverList_->GetClientData(selected)));
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
