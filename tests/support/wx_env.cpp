#include "test_support/wx_env.h"

#include <wx/app.h>
#include <wx/init.h>

#include "test_support/wx_assert.h"

namespace test_support {

void WxEnvironment::SetUp() {
  InstallWxAssertHandler();
  static char name[] = "gui-test";
  static char* argv[] = {name, nullptr};
  int argc = 1;
  wxApp::SetInstance(new wxApp);
  ASSERT_TRUE(wxEntryStart(argc, argv)) << "no display: run under xvfb-run -a";
  ASSERT_TRUE(wxTheApp->CallOnInit());
  InstallWxAssertHandler();  // wx may have replaced it while starting
}

void WxEnvironment::TearDown() {
  if (wxTheApp != nullptr) {
    wxTheApp->OnExit();
    wxEntryCleanup();
  }
}

}  // namespace test_support
