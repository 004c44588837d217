// Refusals, warnings and the fatal reporters: every message of the engine
// that is not a decoder's own goes out from here.
#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine_state.h"

namespace engine {

namespace {

/// Warnings are not printed: the updater has no console, and the engine's
/// result tells its caller everything it acts on.
constexpr bool kQuiet = true;

}  // namespace

void set_warning() {
  if (state.result_code == 0) state.result_code = 2;
}

void warn(const char* format, ...) {
  if (!kQuiet) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
  }
  set_warning();
}

void refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  state.result_code = 1;
}

void refuse_system_error(const char* name, bool with_program_name) {
  int error = errno;
  if (with_program_name) std::fprintf(stderr, "%s: ", program_name);
  errno = error;
  print_system_error(name);
  state.result_code = 1;
}

void print_system_error(const char* name) {
  std::fprintf(stderr, "%s: %s\n", name, std::strerror(errno));
}

void report_error(const char* text) {
  std::fprintf(stderr, "\n%s: %s: %s\n", program_name, state.input_name, text);
  abort_engine();
}

void report_read_error() {
  int error = errno;
  std::fprintf(stderr, "\n%s: ", program_name);
  if (error != 0) {
    errno = error;
    print_system_error(state.input_name);
  } else {
    std::fprintf(stderr, "%s: unexpected end of file\n", state.input_name);
  }
  abort_engine();
}

void report_write_error() {
  int error = errno;
  std::fprintf(stderr, "\n%s: ", program_name);
  errno = error;
  print_system_error(state.output_name);
  abort_engine();
}

}  // namespace engine
