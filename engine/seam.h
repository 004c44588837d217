#pragma once

#include <cerrno>
// What a test build replaces at link time. The product's engine links
// seam_product.cpp: the process really ends, and no file operation is made
// to fail. The library engine_testable (tests and fuzzing) links
// testing/seam_testable.cpp instead, which a test steers through
// testing/engine_testing.h. Both libraries share every other object file.

namespace engine {

/// Ends the process with STATUS after a fatal error (abort_engine has
/// removed the half-written output by then): flushes what was printed and
/// ends at once, without exit handlers, whichever thread calls it. Does not
/// return.
[[noreturn]] void end_process(int status);

/// The file operations a test can make fail.
enum class FileOp { Create, Write, Close, SetMode, SetTimes, Replace, Remove };

/// 0 when operation OP is to be carried out; otherwise the errno value with
/// which it is to fail instead.
int injected_failure(FileOp op);

/// For the file seam's implementations: true when OP is to fail now, with
/// errno set to the error it fails with.
inline bool fails_now(FileOp op) {
  int error = injected_failure(op);
  if (error != 0) errno = error;
  return error != 0;
}

}  // namespace engine
