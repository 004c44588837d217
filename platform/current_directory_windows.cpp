#include "platform/current_directory.h"

#include <windows.h>

namespace platform {

std::string CurrentDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  if (length == 0) return {};  // the system's error stays the last one
  if (length >= MAX_PATH) {
    // The answer is the size the path would need: it does not fit.
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  return std::string(buffer, length);
}

std::string JoinDirectory(const std::string& directory, const std::string& name) {
  const bool ends_in_separator =
      !directory.empty() && (directory.back() == '\\' || directory.back() == '/');
  return directory + (ends_in_separator ? "" : "\\") + name;
}

}  // namespace platform
