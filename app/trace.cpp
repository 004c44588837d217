#include "app/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace app {

bool TraceEnabled() {
  static const bool enabled = std::getenv("UPDATER_TRACE") != nullptr;
  return enabled;
}

namespace {

void Stamp(const char* event) {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::fprintf(stderr, "%s %lld", event, static_cast<long long>(now.count()));
}

}  // namespace

void Trace(const char* event) {
  if (!TraceEnabled()) return;
  Stamp(event);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void WriteLine(std::FILE* out, const char* format, va_list args) {
  std::vfprintf(out, format, args);
  std::fputc('\n', out);
  std::fflush(out);
}

void Trace(const char* event, const char* format, ...) {
  if (!TraceEnabled()) return;
  Stamp(event);
  std::fputc(' ', stderr);
  va_list args;
  va_start(args, format);
  WriteLine(stderr, format, args);
  va_end(args);
}

}  // namespace app
