#include "platform/paths.h"

namespace platform {

bool IsContainedRelativeName(std::string_view programName) {
  if (programName.empty()) return false;
  if (programName.front() == '\\' || programName.front() == '/') return false;
  if (programName.find(':') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= programName.size()) {
    std::size_t end = programName.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = programName.size();
    if (programName.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace platform
