// Runs the session suites on the GTK event loop (the one the update window
// runs on), where socket notifications come from GLib watches.
#include "socket_fixture.h"

namespace {
[[maybe_unused]] const bool useGui = (testing_session::UseGuiEventLoop() = true);
}
