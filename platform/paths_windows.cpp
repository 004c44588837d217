#include "platform/paths.h"

#include <windows.h>

namespace platform {

// Names inside the program are Windows names already.
std::string HostPath(std::string_view programName) { return std::string(programName); }

// Windows names ignore letter case already.
std::string ResolveLetterCase(std::string_view programName) { return std::string(programName); }
std::string LetterCaseResolver::Resolve(std::string_view programName) { return std::string(programName); }
void LetterCaseResolver::NoteCreated(std::string_view) {}

std::string UserTempDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(buffer, length);
}

}  // namespace platform
