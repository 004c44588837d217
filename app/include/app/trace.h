#pragma once
/// Diagnostic lines for measuring and for black-box tests: with UPDATER_TRACE
/// set (to anything), the programs print what they show as
/// "<event> <microseconds since the epoch> <details>" on standard error.
/// Players never set it; nothing else changes when it is set.

namespace app {

bool TraceEnabled();
void Trace(const char* event);
void Trace(const char* event, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace app
