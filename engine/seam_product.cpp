// The product's side of the test seam (seam.h): the process really ends, and
// no file operation is made to fail.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>

#include "seam.h"

namespace engine {

// The engine may end the process from the installation worker while the
// window's thread is inside the toolkit. Exit handlers and static
// destructors would then tear down what that thread is still using, and it
// would now and then die of a signal instead of ending with STATUS. So
// nothing runs beside the end: what the engine had to remove is gone already
// (abort_engine), what was printed is handed over, and the process ends at
// once, every thread with it.
void end_process(int status) {
  std::fflush(nullptr);
#ifdef _WIN32
  // ExitProcess would still run the libraries' detach handlers after the
  // other threads were stopped wherever they stood.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
#endif
  std::_Exit(status);
}

int injected_failure(FileOp) { return 0; }

}  // namespace engine
