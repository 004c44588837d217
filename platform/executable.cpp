#include "platform/executable.h"

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

std::string ExecutableBaseName() { return BaseNameOfModule(ExecutablePath()); }

}  // namespace platform
