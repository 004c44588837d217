#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "platform/executable.h"
#include "platform/system_error.h"

extern char** environ;

namespace platform {
namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/// True when PATH starts with the two bytes of a Windows executable.
bool IsWindowsProgram(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char magic[2] = {};
  const bool windows = ::read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  ::close(fd);
  return windows;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

/// FILENAME in one of the directories of PATH that a program could be run
/// from (executable, or a Windows program for wine), or an empty string.
std::string FindOnPath(const std::string& fileName, bool acceptWindowsPrograms) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + fileName;
    if (!IsRegularFile(candidate)) continue;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (acceptWindowsPrograms && IsWindowsProgram(candidate)) return candidate;
  }
  return {};
}

/// The updater's own directory first, then the current one, then PATH.
std::string FindClient(const std::string& fileName) {
  const std::string own = DirectoryOf(ExecutablePath()) + fileName;
  if (!DirectoryOf(own).empty() && IsRegularFile(own)) return own;
  if (IsRegularFile("./" + fileName)) return "./" + fileName;
  return FindOnPath(fileName, true);
}

StartFailure Failure(int code, std::string text = {}) {
  return {code, text.empty() ? SystemErrorText(code) : std::move(text)};
}

/// posix_spawn with a clean slate: default signal handling (the updater
/// ignores SIGPIPE), no blocked signals and no descriptor beyond 0, 1 and 2.
int Spawn(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

std::string ClientCommandLine(const std::string& fileName, const std::string& argumentText) {
  std::string line = fileName + " " + argumentText + " ";
  for (std::size_t i = 0; i < OwnArguments().size(); ++i) {
    if (i > 0) line += ' ';
    line += OwnArguments()[i];
  }
  return line;
}

StartFailure StartClient(const std::string& fileName, const std::string& argumentText) {
  std::vector<std::string> arguments{fileName};
  std::istringstream words(argumentText);
  for (std::string word; words >> word;) arguments.push_back(word);
  arguments.insert(arguments.end(), OwnArguments().begin(), OwnArguments().end());

  if (fileName.empty()) return Failure(ENOENT);
  const std::string found = FindClient(fileName);
  if (found.empty()) return Failure(ENOENT, fileName + ": " + SystemErrorText(ENOENT));

  if (IsWindowsProgram(found)) {
    // Players run the game, a Windows program, through wine.
    const std::string wine = FindOnPath("wine", false);
    if (wine.empty()) {
      return Failure(ENOENT, fileName + " is a Windows program; starting it needs wine, which was not "
                                        "found on PATH (" + SystemErrorText(ENOENT) + ")");
    }
    arguments[0] = found;
    arguments.insert(arguments.begin(), "wine");
    const int error = Spawn(wine, arguments);
    return error == 0 ? StartFailure{} : Failure(error, "wine: " + SystemErrorText(error));
  }
  const int error = Spawn(found, arguments);
  return error == 0 ? StartFailure{} : Failure(error, fileName + ": " + SystemErrorText(error));
}

}  // namespace platform
