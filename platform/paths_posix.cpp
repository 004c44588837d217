#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
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

std::string ResolveLetterCase(std::string_view programName) {
  std::string resolved(programName);
  std::string directory = ".";
  std::size_t start = 0;
  while (start < resolved.size()) {
    std::size_t end = resolved.find_first_of("\\/", start);
    if (end == std::string::npos) end = resolved.size();
    std::string component = resolved.substr(start, end - start);
    struct stat st {};
    if (!component.empty() && ::lstat((directory + "/" + component).c_str(), &st) != 0) {
      // Not there as written: the entry of this directory that differs in
      // letter case only, the smallest such name when there are several.
      std::string match;
      if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
          const std::string name = entry->d_name;
          if (name.size() == component.size() && name != "." && name != ".." &&
              strcasecmp(name.c_str(), component.c_str()) == 0 && (match.empty() || name < match)) {
            match = name;
          }
        }
        ::closedir(dir);
      }
      if (match.empty()) break;  // nothing below a missing folder exists either
      resolved.replace(start, component.size(), match);
      component = match;
    }
    directory += "/" + component;
    start = end + 1;
  }
  return resolved;
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
