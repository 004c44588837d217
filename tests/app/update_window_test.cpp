#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include "test_support/wx_env.h"
#include "ui/update_dlg.h"

static auto* const wxEnvironment = ::testing::AddGlobalTestEnvironment(new test_support::WxEnvironment);

namespace {

struct Expected {
  int id;
  int x, y, width, height;
  bool visible;
  const char* label;
};

// Template 102, in dialog units.
constexpr Expected kControls[] = {
    {1012, 0, 0, 300, 168, true, nullptr},
    {1019, 236, 248, 50, 14, true, "취소"},
    {1020, 236, 248, 50, 14, false, "확인"},
    {1002, 67, 196, 217, 8, true, "0/0"},
    {1003, 67, 221, 217, 8, true, "0/0"},
    {1004, 12, 206, 272, 10, true, nullptr},
    {1005, 12, 231, 272, 10, true, nullptr},
    {1006, 67, 180, 217, 8, true, "0/0"},
    {1015, 12, 180, 41, 8, true, "File Count"},
    {1017, 12, 196, 29, 8, true, "Current"},
    {1018, 12, 221, 21, 8, true, "Total"},
    {1014, 0, 172, 300, 72, false, "Download Area"},
};

}  // namespace

TEST(UpdateWindow, EveryControlOfTheTemplateAtItsPlace) {
  ui::CUpdateDlg dialog(nullptr);
  EXPECT_EQ(dialog.GetTitle(), wxString::FromUTF8("Mirvale Update"));
  EXPECT_EQ(dialog.GetClientSize(), dialog.ConvertDialogToPixels(wxSize(300, 267)));
  EXPECT_FALSE(dialog.HasFlag(wxCLOSE_BOX));
  EXPECT_FALSE(dialog.HasFlag(wxSYSTEM_MENU));
  EXPECT_TRUE(dialog.HasFlag(wxCAPTION));
  EXPECT_EQ(dialog.GetFont().GetPointSize(), 9);
  EXPECT_TRUE(dialog.GetFont().GetFaceName() == wxString::FromUTF8("굴림체") ||
              dialog.GetFont().GetFaceName().StartsWith("Nanum"))
      << dialog.GetFont().GetFaceName();
  EXPECT_TRUE(dialog.GetIcon().IsOk());

  for (const Expected& c : kControls) {
    SCOPED_TRACE(c.id);
    wxWindow* control = dialog.FindWindow(c.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetPosition(), dialog.ConvertDialogToPixels(wxPoint(c.x, c.y)));
    EXPECT_EQ(control->GetSize(), dialog.ConvertDialogToPixels(wxSize(c.width, c.height)));
    EXPECT_EQ(control->IsShown(), c.visible);
    if (c.label != nullptr) {
      EXPECT_EQ(control->GetLabel(), wxString::FromUTF8(c.label));
    }
    EXPECT_EQ(control->GetFont().GetFaceName(), dialog.GetFont().GetFaceName());
  }
  EXPECT_NE(dynamic_cast<wxGauge*>(dialog.FindWindow(1004)), nullptr);
  EXPECT_NE(dynamic_cast<wxStaticBox*>(dialog.FindWindow(1014)), nullptr);
  EXPECT_TRUE(dialog.FindWindow(1002)->HasFlag(wxALIGN_RIGHT));
  EXPECT_FALSE(dialog.FindWindow(1015)->HasFlag(wxALIGN_RIGHT));
  EXPECT_NE(dialog.totalProgress(), nullptr);
  EXPECT_EQ(dialog.totalProgress(), dialog.FindWindow(1005));
  EXPECT_EQ(dialog.currentProgress(), dialog.FindWindow(1004));
  EXPECT_EQ(dialog.fileCountText(), dialog.FindWindow(1006));
}

TEST(UpdateWindow, CancelEndsTheModalRunWithZero) {
  ui::CUpdateDlg dialog(nullptr);
  dialog.CallAfter([&dialog] {
    wxCommandEvent click(wxEVT_BUTTON, ui::IDC_CANCEL);
    click.SetEventObject(dialog.FindWindow(ui::IDC_CANCEL));
    dialog.FindWindow(ui::IDC_CANCEL)->GetEventHandler()->ProcessEvent(click);
  });
  EXPECT_EQ(dialog.ShowModal(), 0);
}

TEST(UpdateWindow, EscapeEndsTheModalRunWithZero) {
  ui::CUpdateDlg dialog(nullptr);
  bool sent = false;
  dialog.CallAfter([&] {
    // A real key press through the X server's test extension.
    dialog.Raise();
    dialog.SetFocus();
    wxUIActionSimulator().Char(WXK_ESCAPE);
    sent = true;
  });
  // If the key never arrives, end the run anyway so the test fails instead of hanging.
  wxTimer guard;
  guard.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { dialog.EndModal(42); });
  guard.StartOnce(10000);
  EXPECT_EQ(dialog.ShowModal(), 0);
  EXPECT_TRUE(sent);
}

TEST(UpdateWindow, CloseRequestEndsTheModalRunWithZero) {
  ui::CUpdateDlg dialog(nullptr);
  dialog.CallAfter([&dialog] { dialog.Close(); });
  EXPECT_EQ(dialog.ShowModal(), 0);
}
