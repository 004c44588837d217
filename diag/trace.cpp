#include "diag/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace diag {

namespace {

/// Where the lines go: the file named by UPDATER_TRACE_FILE (appended to,
/// so that several processes can share it), else standard error. A program
/// with windows has no standard error on every platform (under Wine it is
/// often lost), hence the file.
std::FILE* Target() {
  static std::FILE* const target = [] {
    const char* path = std::getenv("UPDATER_TRACE_FILE");
    if (path == nullptr || *path == '\0') return stderr;
    std::FILE* file = std::fopen(path, "ab");
    return file != nullptr ? file : stderr;
  }();
  return target;
}

/// One whole line in one write, so that lines of several threads or
/// processes never interleave.
void Write(const char* event, const std::string& details) {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::string line = std::string(event) + " " + std::to_string(now.count());
  if (!details.empty()) line += " " + details;
  line += '\n';
  std::FILE* target = Target();
  std::fwrite(line.data(), 1, line.size(), target);
  std::fflush(target);
}

}  // namespace

bool TraceEnabled() {
  static const bool enabled =
      std::getenv("UPDATER_TRACE") != nullptr || std::getenv("UPDATER_TRACE_FILE") != nullptr;
  return enabled;
}

void Trace(const char* event) {
  if (TraceEnabled()) Write(event, {});
}

void WriteLine(std::FILE* out, const char* format, va_list args) {
  std::vfprintf(out, format, args);
  std::fputc('\n', out);
  std::fflush(out);
}

void Trace(const char* event, const char* format, ...) {
  if (!TraceEnabled()) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string details(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
  if (length > 0) std::vsnprintf(details.data(), details.size(), format, args);
  va_end(args);
  details.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  Write(event, details);
}

}  // namespace diag
