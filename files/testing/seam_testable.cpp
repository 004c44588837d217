// The tests' side of the file seam: operations fail when a test asks.
#include <array>

#include "../native_file.h"
#include "files/testing/files_testing.h"

namespace files {
namespace {

struct Fault {
  int countdown = 0;  // calls left before the failing one; 0: none planned
  int error = 0;
};
std::array<Fault, 4> faults;

}  // namespace

namespace native {

int InjectedFailure(FileOp op) {
  Fault& fault = faults[static_cast<std::size_t>(op)];
  if (fault.countdown == 0 || --fault.countdown != 0) return 0;
  return fault.error;
}

}  // namespace native

namespace testing {

void FailFileOp(FileOp op, int nth, int error) {
  faults[static_cast<std::size_t>(op)] = {nth, error};
}

void ClearFileFaults() { faults = {}; }

}  // namespace testing
}  // namespace files
