// The product's side of the test seam (seam.h): the process really ends, and
// no file operation is made to fail.
#include <cstdlib>

#include "seam.h"

namespace engine {
namespace {

bool end_under_way = false;

}  // namespace

void end_process(int status) {
  // A second fatal error while the first one ends the process (from a
  // termination handler) ends it at once.
  if (end_under_way) std::_Exit(status);
  end_under_way = true;
  std::exit(status);
}

int injected_failure(FileOp) { return 0; }

}  // namespace engine
