#include "platform/executable.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace platform {

std::string BaseNameOfModule(std::string_view modulePath) {
  const std::size_t separator = modulePath.find_last_of("\\/:");
  std::string_view name =
      separator == std::string_view::npos ? modulePath : modulePath.substr(separator + 1);
  // Only a dot inside the file name starts an extension; a dotted directory
  // ("/home/a/.local/bin/Update") must not swallow the name.
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

std::string ExecutablePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string ExecutableBaseName() { return BaseNameOfModule(ExecutablePath()); }

}  // namespace platform
