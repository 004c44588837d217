#include "test_support/wx_env.h"

#include <wx/app.h>
#include <wx/init.h>

#include <dlfcn.h>

#include <chrono>
#include <thread>

#include "test_support/wx_assert.h"

namespace test_support {

void WxEnvironment::SetUp() {
  InstallWxAssertHandler();
  static char name[] = "gui-test";
  static char* argv[] = {name, nullptr};
  int argc = 1;
  // The test X server now and then refuses a connection made right after
  // another; GTK keeps the display once it has it, so try it here first.
  // (GTK is loaded with wx; looked up at run time to need no GTK headers.)
  using InitCheck = int (*)(int*, char***);
  using DisableSetlocale = void (*)();
  // wx leaves the locale alone; so must this early start.
  if (auto disable = reinterpret_cast<DisableSetlocale>(dlsym(RTLD_DEFAULT, "gtk_disable_setlocale")))
    disable();
  if (auto init = reinterpret_cast<InitCheck>(dlsym(RTLD_DEFAULT, "gtk_init_check"))) {
    for (int attempt = 0; attempt < 20 && !init(nullptr, nullptr); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
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
