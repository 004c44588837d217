#pragma once
// The test seam as tests and fuzz targets see it (library engine_testable
// only; the product links seam_product.cpp instead).
//
// The process end: when a hook is set, a fatal error calls it instead of
// ending the process, after abort_engine has removed the half-written output
// exactly as in the product and after the engine's open files are closed.
// The hook must not return (throw, or longjmp); if it does, the process
// ends as in the product. A test runs the engine in-process like this (see
// tests/engine/engine_test_support.h, which packages it):
//
//   struct EngineEnded { int status; };
//   engine::end_process_hook = [](int s) { throw EngineEnded{s}; };
//   try { int r = engine::decompress_file("x.gz"); /* returned r */ }
//   catch (const EngineEnded& e) { /* the process would have ended with e.status */ }
//
// File faults: fail_file_op(FileOp::Write, 3, ENOSPC) makes the third write
// from now fail with ENOSPC, as a full disk would.

#include "seam.h"

namespace engine {

using end_process_hook_fn = void (*)(int status);
extern end_process_hook_fn end_process_hook;

namespace testing {

/// The Nth call of OP from now on (1: the next one) fails with ERROR, once.
void fail_file_op(FileOp op, int nth, int error);
/// No operation fails any more.
void clear_file_faults();

}  // namespace testing
}  // namespace engine
