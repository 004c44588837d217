#include "platform/current_directory.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};  // errno says why
  return buffer;
}

std::string JoinDirectory(const std::string& directory, const std::string& name) {
  const bool ends_in_separator = !directory.empty() && directory.back() == '/';
  return directory + (ends_in_separator ? "" : "/") + name;
}

}  // namespace platform
