#include <wx/app.h>

#include "app/updater_app.h"

wxIMPLEMENT_APP_NO_MAIN(app::CUpdaterApp);

int main(int argc, char** argv) {
  const int status = wxEntry(argc, argv);
  // Start-up always ends by declining the main loop, which wx reports as a
  // failure; only a toolkit that could not start at all is one.
  return app::CUpdaterApp::StartupRan() ? 0 : (status != 0 ? status : 1);
}
