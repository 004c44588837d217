#pragma once
/// CUpdaterApp: reads the settings, refuses to run twice, checks the socket
/// layer and runs the update window modally with those settings; the program
/// ends when it returns.

#include <wx/app.h>

namespace app {

class CUpdaterApp : public wxApp {
 public:
  /// The whole start-up; always false, so no main loop runs afterwards.
  bool OnInit() override;

  /// True once start-up ran (as opposed to the toolkit failing to start),
  /// which makes the process end with status 0.
  static bool StartupRan() { return startupRan_; }

 private:
  static bool startupRan_;
};

}  // namespace app
