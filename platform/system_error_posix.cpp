#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace platform {

int LastSystemError() { return errno; }

std::string SystemErrorText(int code) {
  if (code == 0) return {};
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not live in BUFFER.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

}  // namespace platform
