#pragma once
/// Installs a wx assert handler that records a test failure (and, outside a
/// test, aborts) instead of opening the modal assert dialog, which would hang
/// a run under Xvfb.

namespace test_support {

void InstallWxAssertHandler();

}  // namespace test_support
