#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace platform {

std::string HostPath(std::string_view programName) {
  std::string path(programName);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

namespace {

/// True when DIR is a real directory (not a link) owned by this user that
/// nobody else may write to. With NARROW, a directory of ours that others may
/// write to is made private instead of refused.
bool IsPrivateDirectory(const std::string& dir, bool narrow) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
    return false;
  if ((st.st_mode & 022) == 0) return true;
  return narrow && chmod(dir.c_str(), 0700) == 0;
}

std::string UsableBase(const char* value) {
  if (value == nullptr || value[0] != '/') return {};
  std::string base(value);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace

std::string UserTempDirectory() {
  // The per-user runtime directory is private by construction; otherwise a
  // private folder of our own inside the shared temporary directory.
  std::string base = UsableBase(std::getenv("XDG_RUNTIME_DIR"));
  if (base.empty() || !IsPrivateDirectory(base, false)) {
    base = UsableBase(std::getenv("TMPDIR"));
    if (base.empty()) base = "/tmp";
  }
  const std::string dir = base + "/mirvale-updater-" + std::to_string(geteuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  if (!IsPrivateDirectory(dir, true)) return {};
  return dir + "/";
}

}  // namespace platform
