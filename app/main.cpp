#include <wx/app.h>

#include "app/updater_app.h"
#include "platform/process.h"

wxIMPLEMENT_APP_NO_MAIN(app::CUpdaterApp);

int main(int argc, char** argv) {
  // The program's own arguments are passed on to the game client unchanged;
  // the toolkit sees none of them, so none can stop the updater (such as
  // "--display=…") or be removed before they are passed on.
  platform::RecordOwnArguments(argc, argv);
  int toolkitArgc = argc > 0 ? 1 : 0;
  char* toolkitArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  const int status = wxEntry(toolkitArgc, toolkitArgv);
  // Start-up always ends by declining the main loop, which wx reports as a
  // failure; only a toolkit that could not start at all is one.
  return app::CUpdaterApp::StartupRan() ? 0 : (status != 0 ? status : 1);
}
