#include "test_support/wx_env.h"

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#ifdef __linux__
#include <dlfcn.h>
#endif

#include <chrono>
#include <thread>

#include "test_support/wx_assert.h"

namespace test_support {
namespace {

std::unique_ptr<wxEventLoopBase>& TheLoop() {
  static std::unique_ptr<wxEventLoopBase> loop;
  return loop;
}

/// GTK itself first: the test X server now and then refuses a connection
/// made right after another, and GTK keeps the display once it has it.
/// (GTK is loaded with wx; looked up at run time to need no GTK headers.)
void StartGtkPatiently() {
#ifdef __linux__
  using InitCheck = int (*)(int*, char***);
  using DisableSetlocale = void (*)();
  // wx leaves the locale alone; so must this early start.
  if (auto disable = reinterpret_cast<DisableSetlocale>(dlsym(RTLD_DEFAULT, "gtk_disable_setlocale")))
    disable();
  if (auto init = reinterpret_cast<InitCheck>(dlsym(RTLD_DEFAULT, "gtk_init_check"))) {
    for (int attempt = 0; attempt < 20 && !init(nullptr, nullptr); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
#endif
}

}  // namespace

wxEventLoopBase* WxEnvironment::EventLoop() { return TheLoop().get(); }

void WxEnvironment::SetUp() {
  InstallWxAssertHandler();
  if (kind_ == Kind::Console) {
    ASSERT_TRUE(wxInitialize());
    started_ = true;
  } else {
    StartGtkPatiently();
    static char name[] = "gui-test";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv)) {
      wxApp::SetInstance(nullptr);
      if (withoutDisplay_ == WithoutDisplay::Skip) return;  // the tests skip
      FAIL() << "no display: run under xvfb-run -a";
    }
    started_ = true;
    ASSERT_TRUE(wxTheApp->CallOnInit());
  }
  InstallWxAssertHandler();  // wx may have replaced it while starting
  TheLoop().reset(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop());
}

void WxEnvironment::TearDown() {
  TheLoop().reset();
  if (!started_) return;
  if (kind_ == Kind::Console) {
    wxUninitialize();
  } else if (wxTheApp != nullptr) {
    wxTheApp->OnExit();
    wxEntryCleanup();
  }
}

}  // namespace test_support
