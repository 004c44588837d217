// The product's side of the file seam: no file operation is made to fail.
#include "native_file.h"

namespace files::native {

int InjectedFailure(FileOp) { return 0; }

}  // namespace files::native
