#include "platform/process.h"

#include <windows.h>

#include "platform/system_error.h"

namespace platform {
namespace {

/// The updater's own command line without the program name (quoted or not)
/// and the blanks after it: what it passes on to the client unchanged.
std::string OwnCommandLineTail() {
  const char* p = GetCommandLineA();
  if (p == nullptr) return {};
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

std::string ClientCommandLine(const std::string& fileName, const std::string& argumentText) {
  // Nothing is quoted: the file name, a blank, the arguments, a blank and the
  // updater's own arguments, exactly as they came.
  return fileName + " " + argumentText + " " + OwnCommandLineTail();
}

StartFailure StartClient(const std::string& fileName, const std::string& argumentText) {
  std::string commandLine = ClientCommandLine(fileName, argumentText);
  // The system looks for the first token in the updater's own directory, the
  // current directory (the client's), then the system's program folders.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWDEFAULT;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process)) {
    const int code = static_cast<int>(GetLastError());
    return {code, SystemErrorText(code)};
  }
  // Not waited for, not watched.
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return {};
}

}  // namespace platform
