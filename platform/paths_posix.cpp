#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <unordered_map>
#include <utility>

namespace platform {

std::string HostPath(std::string_view programName) {
  std::string path(programName);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

namespace {

/// A name as strcasecmp compares it: each byte in the lower case of the
/// current locale.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

/// Walks the components of PROGRAMNAME from the current directory. Each one
/// that does not exist as written takes the spelling MATCH(directory,
/// component) gives (empty: none, and the rest is kept as written, since
/// nothing below a missing folder exists either).
template <typename Match>
std::string WalkComponents(std::string_view programName, Match match) {
  std::string resolved(programName);
  std::string directory = ".";
  std::size_t start = 0;
  while (start < resolved.size()) {
    std::size_t end = resolved.find_first_of("\\/", start);
    if (end == std::string::npos) end = resolved.size();
    std::string component = resolved.substr(start, end - start);
    struct stat st {};
    if (!component.empty() && ::lstat((directory + "/" + component).c_str(), &st) != 0) {
      const std::string found = match(directory, component);
      if (found.empty()) break;
      resolved.replace(start, component.size(), found);
      component = found;
    }
    directory += "/" + component;
    start = end + 1;
  }
  return resolved;
}

/// Calls VISIT(directory, component) for each component of PROGRAMNAME, the
/// directory spelled as WalkComponents spells it.
template <typename Visit>
void ForEachComponent(std::string_view programName, Visit visit) {
  std::string directory = ".";
  std::size_t start = 0;
  while (start < programName.size()) {
    std::size_t end = programName.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = programName.size();
    const std::string component(programName.substr(start, end - start));
    visit(directory, component);
    directory += "/" + component;
    start = end + 1;
  }
}

/// Keeps NAME in LISTING (folded name -> smallest entry of that folded name).
void AddEntry(std::unordered_map<std::string, std::string>& listing, const std::string& name) {
  auto [at, added] = listing.emplace(Folded(name), name);
  if (!added && name < at->second) at->second = name;
}

}  // namespace

std::string ResolveLetterCase(std::string_view programName) {
  return WalkComponents(programName, [](const std::string& directory, const std::string& component) {
    // The entry of this directory that differs in letter case only, the
    // smallest such name when there are several.
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
    return match;
  });
}

std::string LetterCaseResolver::Resolve(std::string_view programName) {
  return WalkComponents(programName, [this](const std::string& directory, const std::string& component) {
    auto listed = folders_.find(directory);
    if (listed == folders_.end()) {
      // Listed once; a folder that cannot be read (or is not there yet) is
      // tried again next time.
      DIR* dir = ::opendir(directory.c_str());
      if (dir == nullptr) return std::string();
      Listing listing;
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") AddEntry(listing, name);
      }
      ::closedir(dir);
      listed = folders_.emplace(directory, std::move(listing)).first;
    }
    const auto found = listed->second.find(Folded(component));
    return found == listed->second.end() ? std::string() : found->second;
  });
}

void LetterCaseResolver::NoteCreated(std::string_view programName) {
  ForEachComponent(programName, [this](const std::string& directory, const std::string& component) {
    const auto listed = folders_.find(directory);
    if (listed != folders_.end() && !component.empty()) AddEntry(listed->second, component);
  });
}

namespace {

/// True when DIR is a real directory (not a link) owned by this user that
/// nobody else may write to. With NARROW, a directory of ours that others may
/// write to is made private instead of refused.
bool IsPrivateDirectory(const std::string& dir, bool narrow) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  if ((st.st_mode & 022) == 0) return true;
  return narrow && chmod(dir.c_str(), 0700) == 0;
}

/// True when no other user can replace what is inside DIR (links followed):
/// a folder of ours or of the administrator's that others may not write to,
/// unless it is sticky (as the shared temporary folder is).
bool KeepsEntriesOfOurs(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != geteuid() && st.st_uid != 0) return false;
  return (st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0;
}

std::string UsableBase(const char* value) {
  if (value == nullptr || value[0] != '/') return {};
  std::string base(value);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

/// The user's cache folder: $XDG_CACHE_HOME, else .cache in the home folder
/// ($HOME, else the user's entry in the password file); empty when unknown.
std::string CacheBase() {
  std::string base = UsableBase(std::getenv("XDG_CACHE_HOME"));
  if (!base.empty()) return base;
  std::string home = UsableBase(std::getenv("HOME"));
  if (home.empty()) {
    if (const passwd* user = getpwuid(geteuid())) home = UsableBase(user->pw_dir);
  }
  if (home.empty()) return {};
  return (home == "/" ? "" : home) + "/.cache";
}

/// Our folder in BASE ("mirvale-updater-<uid>", made when missing), ending in
/// a separator, when it is private to this user; otherwise empty.
std::string OwnFolderIn(const std::string& base) {
  const std::string dir = base + "/mirvale-updater-" + std::to_string(geteuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  if (!IsPrivateDirectory(dir, true)) return {};
  return dir + "/";
}

}  // namespace

std::string UserTempDirectory() {
  // The per-user runtime folder is private by construction. Without one, the
  // user's cache folder, which no other user can reach; a folder of ours in
  // the shared temporary folder only when there is no usable cache folder,
  // since anyone may take our folder's name there first.
  const std::string runtime = UsableBase(std::getenv("XDG_RUNTIME_DIR"));
  if (!runtime.empty() && IsPrivateDirectory(runtime, false)) return OwnFolderIn(runtime);
  const std::string cache = CacheBase();
  if (!cache.empty()) {
    if (mkdir(cache.c_str(), 0700) == 0 || errno == EEXIST) {
      if (KeepsEntriesOfOurs(cache)) {
        if (std::string dir = OwnFolderIn(cache); !dir.empty()) return dir;
      }
    }
  }
  std::string shared = UsableBase(std::getenv("TMPDIR"));
  if (shared.empty()) shared = "/tmp";
  return OwnFolderIn(shared);
}

}  // namespace platform
