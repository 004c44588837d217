// Shows one of the updater's message boxes, for looking at it:
//   message-box-demo N    numbered message N (1..7)
//   message-box-demo 0    the single-instance box
// The caption is this program's base name, as in the updater.
#include <wx/app.h>

#include <cstdlib>

#include "ui/message_box.h"
#include "platform/executable.h"

class DemoApp : public wxApp {
 public:
  bool OnInit() override {
    SetAppName(wxString::FromUTF8(platform::ExecutableBaseName()));
    const int n = argc > 1 ? std::atoi(argv[1].utf8_str()) : 0;
    if (n >= 1 && n <= 7) ui::ShowNumberedMessage(static_cast<resources::MessageId>(n));
    else ui::ShowAlreadyRunning();
    return false;
  }
};

wxIMPLEMENT_APP_NO_MAIN(DemoApp);

int main(int argc, char** argv) {
  wxEntry(argc, argv);
  return 0;
}
