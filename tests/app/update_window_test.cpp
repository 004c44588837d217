// The windows as their templates describe them: every control of templates
// 102, 131 and 133 stands where the template puts it, in dialog units of the
// window's own font, with its text and visibility. The expectations are read
// from the template files themselves.
#include <gtest/gtest.h>
#include <wx/listbox.h>
#include <wx/xml/xml.h>

#include <functional>

#include "test_support/wx_env.h"
#include "ui/notice_view.h"
#include "ui/server_select_dlg.h"
#include "ui/update_dlg.h"
#include "ui/wait_dlg.h"

static auto* const wxEnvironment = ::testing::AddGlobalTestEnvironment(new test_support::WxEnvironment);

namespace {

wxSize Pair(const wxString& text) {  // "300,267d"
  long a = 0, b = 0;
  text.BeforeFirst(',').ToLong(&a);
  text.AfterFirst(',').BeforeFirst('d').ToLong(&b);
  return wxSize(static_cast<int>(a), static_cast<int>(b));
}

wxString Child(const wxXmlNode* node, const wxString& name) {
  for (const wxXmlNode* c = node->GetChildren(); c != nullptr; c = c->GetNext())
    if (c->GetName() == name) return c->GetNodeContent();
  return {};
}

/// Checks WINDOW and each named control against the template in FILE.
void ExpectAsTemplate(wxWindow* window, const std::string& file) {
  wxXmlDocument document;
  ASSERT_TRUE(document.Load(wxString(TEMPLATE_DIR) + "/" + file));
  const wxXmlNode* top = document.GetRoot()->GetChildren();
  while (top != nullptr && top->GetName() != "object") top = top->GetNext();
  ASSERT_NE(top, nullptr);
  if (!Child(top, "title").empty()) {
    EXPECT_EQ(window->GetLabel(), Child(top, "title"));
  }
  const wxSize client = window->ConvertDialogToPixels(Pair(Child(top, "size")));
  EXPECT_EQ(window->IsTopLevel() ? window->GetClientSize() : window->GetSize(), client);
  EXPECT_EQ(window->GetFont().GetPointSize(), 9);
  const wxString face = window->GetFont().GetFaceName();
  EXPECT_TRUE(face == wxString::FromUTF8("굴림체") || face.StartsWith("Nanum")) << face;

  for (const wxXmlNode* c = top->GetChildren(); c != nullptr; c = c->GetNext()) {
    if (c->GetName() != "object") continue;
    const wxString name = c->GetAttribute("name");
    SCOPED_TRACE(name.ToStdString());
    long id = 0;
    wxWindow* control = name.ToLong(&id) ? window->FindWindow(static_cast<int>(id)) : window->FindWindow(name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetPosition(), window->ConvertDialogToPixels(wxPoint(Pair(Child(c, "pos")).x,
                                                                            Pair(Child(c, "pos")).y)));
    EXPECT_EQ(control->GetSize(), window->ConvertDialogToPixels(Pair(Child(c, "size"))));
    if (window->IsTopLevel()) {
      EXPECT_EQ(control->IsShown(), Child(c, "hidden") != "1");
    }
    if (!Child(c, "label").empty()) {
      EXPECT_EQ(control->GetLabel(), Child(c, "label"));
    }
    EXPECT_EQ(control->GetFont().GetFaceName(), face);
  }
}

}  // namespace

TEST(NoticeUrl, IsAFileUrlOfThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/home/p/Mirvale/Notice.html", "file:///home/p/Mirvale/Notice.html"},
      {"/home/p/My Games/게임/Notice.html",
       "file:///home/p/My%20Games/%EA%B2%8C%EC%9E%84/Notice.html"},
      {"C:\\Games\\Mirvale\\Notice.html", "file:///C:/Games/Mirvale/Notice.html"},
      {"C:\\Notice.html", "file:///C:/Notice.html"},
      {"d:\\My Games\\Notice.html", "file:///d:/My%20Games/Notice.html"},
  };
  for (const auto& [path, url] : cases) EXPECT_EQ(ui::FileUrl(path).utf8_string(), url) << path;
}

TEST(Templates, WindowsStandAsTheirTemplatesSay) {
  {
    ui::CUpdateDlg update(nullptr);
    SCOPED_TRACE("102");
    ExpectAsTemplate(&update, "update_dialog.xrc");
    EXPECT_FALSE(update.HasFlag(wxCLOSE_BOX) || update.HasFlag(wxSYSTEM_MENU));
    EXPECT_TRUE(update.FindWindow(ui::IDC_CURRENT_TEXT)->HasFlag(wxALIGN_RIGHT));

    ui::CWaitDlg wait(&update);
    SCOPED_TRACE("131");
    EXPECT_FALSE(wait.IsShown());
    ExpectAsTemplate(&wait, "wait_panel.xrc");
  }
  ui::CServerSelectDlg select(nullptr);
  SCOPED_TRACE("133");
  ExpectAsTemplate(&select, "server_select.xrc");
  EXPECT_FALSE(select.HasFlag(wxCLOSE_BOX) || select.HasFlag(wxSYSTEM_MENU));
  EXPECT_FALSE(select.serverList()->HasFlag(wxLB_SORT));
  // The list's scroll bar shows only when the entries overflow it.
  EXPECT_FALSE(select.serverList()->HasFlag(wxLB_ALWAYS_SB));
  EXPECT_FALSE(select.serverList()->HasFlag(wxLB_NO_SB));
}

// Server names are bytes in the list: UTF-8 where they are valid UTF-8, the
// Korean code page of lists made on Windows otherwise.
TEST(Templates, ServerNamesInEitherEncoding) {
  EXPECT_EQ(ui::ServerNameText("\xEC\x84\x9C\xEB\xB2\x84"), wxString::FromUTF8("서버"));
  EXPECT_EQ(ui::ServerNameText("\xBC\xAD\xB9\xF6"), wxString::FromUTF8("서버"));  // CP949
  EXPECT_EQ(ui::ServerNameText("Server B"), "Server B");
}
