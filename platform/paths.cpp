#include "platform/paths.h"

namespace platform {

NameFault CheckContainedRelativeName(std::string_view programName) {
  if (programName.empty()) return NameFault::Empty;
  if (programName.front() == '\\' || programName.front() == '/') return NameFault::Absolute;
  if (programName.find(':') != std::string_view::npos) return NameFault::Drive;
  std::size_t start = 0;
  while (start <= programName.size()) {
    std::size_t end = programName.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = programName.size();
    if (programName.substr(start, end - start) == "..") return NameFault::Parent;
    start = end + 1;
  }
  return NameFault::None;
}

}  // namespace platform
