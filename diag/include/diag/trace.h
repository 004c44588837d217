#pragma once
/// Diagnostic lines for measuring and for black-box tests: with UPDATER_TRACE
/// set (to anything), the programs print what they show as
/// "<event> <microseconds since the epoch> <details>" on standard error, or,
/// with UPDATER_TRACE_FILE=PATH, append them to that file (which also turns
/// them on). Players never set either; nothing else changes when they are set.

#include <cstdarg>
#include <cstdio>

namespace diag {

/// Writes FORMAT with ARGS and a line end to OUT and flushes it at once.
void WriteLine(std::FILE* out, const char* format, va_list args);

bool TraceEnabled();
void Trace(const char* event);
void Trace(const char* event, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace diag
