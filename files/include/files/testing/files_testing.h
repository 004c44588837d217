#pragma once
// File faults for tests (library files_testable only; the product links
// seam_product.cpp instead): fail_file_op(FileOp::Write, 2, ENOSPC) makes the
// second write from now fail with ENOSPC, as a full disk would.

#include <cerrno>

#include "files/file.h"

namespace files::testing {

/// The Nth call of OP from now on (1: the next one) fails with ERROR, once.
void FailFileOp(FileOp op, int nth, int error);
/// No operation fails any more.
void ClearFileFaults();

}  // namespace files::testing
