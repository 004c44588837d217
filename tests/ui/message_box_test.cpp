#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "ui/message_box.h"
#include "test_support/wx_env.h"

static auto* const wxEnvironment = ::testing::AddGlobalTestEnvironment(new test_support::WxEnvironment);

namespace {

struct SeenBox {
  bool found = false;
  wxString caption;
  wxString text;
  wxImage icon;
  int buttons = 0;
};

void Collect(wxWindow* window, SeenBox& seen) {
  for (wxWindow* child : window->GetChildren()) {
    if (auto* text = dynamic_cast<wxStaticText*>(child)) {
      if (!seen.text.empty()) seen.text += "\n";
      seen.text += text->GetLabel();
    } else if (auto* bitmap = dynamic_cast<wxStaticBitmap*>(child)) {
      seen.icon = bitmap->GetBitmap().ConvertToImage();
    } else if (dynamic_cast<wxButton*>(child)) {
      ++seen.buttons;
    }
    Collect(child, seen);
  }
}

/// Runs SHOW and records the box that it opens, then confirms it.
SeenBox Observe(const std::function<void()>& show) {
  auto seen = std::make_shared<SeenBox>();
  wxTheApp->CallAfter([seen] {
    for (wxWindow* top : wxTopLevelWindows) {
      if (auto* box = dynamic_cast<wxGenericMessageDialog*>(top); box && box->IsModal()) {
        seen->found = true;
        seen->caption = box->GetTitle();
        Collect(box, *seen);
        box->EndModal(wxID_OK);
      }
    }
  });
  show();
  return *seen;
}

bool SameImage(const wxImage& a, const wxImage& b) {
  return a.IsOk() && b.IsOk() && a.GetSize() == b.GetSize() &&
         std::equal(a.GetData(), a.GetData() + a.GetWidth() * a.GetHeight() * 3, b.GetData());
}

wxImage ArtIcon(const wxArtID& id) {
  return wxArtProvider::GetBitmap(id, wxART_MESSAGE_BOX).ConvertToImage();
}

}  // namespace

TEST(MessageBoxes, NumberedMessagesShowTextIconAndApplicationName) {
  // What the player sees: message 1 has no icon of its own (the warning sign),
  // the download limit informs, everything else is an error.
  const wxArtID icons[] = {wxART_WARNING, wxART_ERROR, wxART_ERROR, wxART_ERROR,
                           wxART_ERROR,   wxART_INFORMATION, wxART_ERROR};
  wxTheApp->SetAppName("Update");
  for (int n = 1; n <= 7; ++n) {
    const auto id = static_cast<resources::MessageId>(n);
    const resources::NumberedMessage& message = resources::GetNumberedMessage(id);
    SCOPED_TRACE(message.name);
    const SeenBox seen = Observe([id] { ui::ShowNumberedMessage(id); });
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.caption, "Update");
    EXPECT_EQ(seen.text, wxString::FromUTF8(message.text));
    EXPECT_EQ(seen.buttons, 1);
    EXPECT_TRUE(SameImage(seen.icon, ArtIcon(icons[n - 1])));
  }
}

TEST(MessageBoxes, AlreadyRunningAndSystemErrorBoxes) {
  SeenBox seen = Observe([] { ui::ShowAlreadyRunning(); });
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.caption, "Mirvale");
  EXPECT_EQ(seen.text, wxString::FromUTF8("Mirvale가 실행중입니다."));
  EXPECT_TRUE(SameImage(seen.icon, ArtIcon(wxART_ERROR)));

  seen = Observe([] { ui::ShowSystemError("Update", ENOENT); });
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.caption, "Update");
  EXPECT_EQ(seen.text, "No such file or directory");
  EXPECT_TRUE(SameImage(seen.icon, ArtIcon(wxART_ERROR)));

  errno = 0;
  ui::ShowSystemError("Update");  // no error, no box: returns at once
}
