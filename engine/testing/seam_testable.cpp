// The test build's side of the seam (seam.h, engine_testing.h): a process end
// that can be replaced by a hook, and file operations that can be made to
// fail one at a time.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "engine_state.h"
#include "testing/engine_testing.h"

namespace engine {

end_process_hook_fn end_process_hook = nullptr;

namespace {

struct Fault {
  FileOp op;
  int calls_left;  // the fault strikes when this reaches 0
  int error;
};
Fault fault{FileOp::Write, -1, 0};

}  // namespace

void end_process(int status) {
  if (end_process_hook != nullptr) {
    // In-process run: leave nothing open and nothing marked, so that the
    // next call starts as a fresh process would.
    if (state.input_handle >= 0) ::close(state.input_handle);
    if (state.output_handle >= 0) ::close(state.output_handle);
    state.input_handle = state.output_handle = -1;
    clear_pkzip_state();
    end_process_hook(status);
  }
  // Without a hook, as in the product: at once, nothing else runs.
  std::fflush(nullptr);
  std::_Exit(status);
}

int injected_failure(FileOp op) {
  if (op != fault.op || fault.calls_left <= 0) return 0;
  return --fault.calls_left == 0 ? fault.error : 0;
}

namespace testing {

void fail_file_op(FileOp op, int nth, int error) { fault = Fault{op, nth, error}; }

void clear_file_faults() { fault.calls_left = -1; }

}  // namespace testing
}  // namespace engine
