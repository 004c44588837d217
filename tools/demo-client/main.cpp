// demo-client: stands in for the game client in the demo. The updater starts
// it after the player chose a game server; it shows (and prints) the
// arguments and the working folder it got, and closes with its button,
// Enter or Escape.

#include <cstdio>
#include <string>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/filefn.h>
#include <wx/font.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

namespace {

/// The server address of a "/IP:a.b.c.d" argument, or empty.
wxString ServerOf(const wxArrayString& args) {
  for (const wxString& a : args) {
    if (a.StartsWith("/IP:")) return a.Mid(4);
  }
  return {};
}

class ClientDialog : public wxDialog {
 public:
  ClientDialog(const wxArrayString& args, const wxString& folder)
      : wxDialog(nullptr, wxID_ANY, "Mirvale", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    auto* title = new wxStaticText(this, wxID_ANY, wxString::FromUTF8("Mirvale 게임 클라이언트 (데모)"));
    wxFont big = title->GetFont();
    big.SetPointSize(big.GetPointSize() + 4);
    big.MakeBold();
    title->SetFont(big);
    column->Add(title, 0, wxALL, 12);

    const wxString server = ServerOf(args);
    column->Add(new wxStaticText(this, wxID_ANY,
                                 server.empty() ? wxString::FromUTF8("선택된 게임 서버가 없습니다.")
                                                : wxString::FromUTF8("접속할 게임 서버: ") + server),
                0, wxLEFT | wxRIGHT, 12);

    column->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8("실행 인수:")), 0,
                wxLEFT | wxRIGHT | wxTOP, 12);
    wxString listed;
    for (std::size_t i = 0; i < args.size(); ++i) {
      listed += wxString::Format("%zu: %s\n", i + 1, args[i]);
    }
    if (listed.empty()) listed = wxString::FromUTF8("(없음)");
    auto* text = new wxTextCtrl(this, wxID_ANY, listed.Trim(), wxDefaultPosition, wxSize(440, 110),
                                wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
    column->Add(text, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 12);

    column->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8("작업 폴더: ") + folder), 0, wxALL, 12);
    auto* close = new wxButton(this, wxID_OK, wxString::FromUTF8("닫기"));
    close->SetDefault();
    column->Add(close, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    SetEscapeId(wxID_OK);
    SetSizerAndFit(column);
    Centre();
    close->SetFocus();
  }
};

class DemoClientApp : public wxApp {
 public:
  bool OnInit() override {
    wxArrayString args;
    std::string line;
    for (int i = 1; i < argc; ++i) {
      args.Add(argv[i]);
      if (i > 1) line += ' ';
      line += argv[i].utf8_str().data();
    }
    const wxString folder = wxGetCwd();
    std::printf("demo-client: started with arguments: %s\n", line.c_str());
    std::printf("demo-client: working folder: %s\n", folder.utf8_str().data());
    std::fflush(stdout);
    ClientDialog dialog(args, folder);
    dialog.ShowModal();
    shown = true;
    return false;  // nothing more to run once the window is closed
  }
  static inline bool shown = false;
};

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(DemoClientApp);

int main(int argc, char** argv) {
  wxEntry(argc, argv);
  // Declining the main loop is how the program ends; only a window that
  // never opened (no display) is a failure.
  return DemoClientApp::shown ? 0 : 1;
}
