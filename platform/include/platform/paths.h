#pragma once
/// Names inside the program keep backslashes as separators ("data\maps\a.dat");
/// these map them to host paths at the file-system boundary.

#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

/// Longest path the program handles, in characters (its buffers hold 260 bytes).
constexpr std::size_t kMaxPath = 259;

/// "data\maps\a.dat" -> "data/maps/a.dat"; ".\Config.ini" -> "./Config.ini".
/// On Windows the name is a host path already and comes back unchanged.
std::string HostPath(std::string_view programName);

/// Why a name would not name something below the current directory.
enum class NameFault { None, Empty, Absolute, Drive, Parent };
/// Not empty, not absolute (leading '\' or '/'), no drive (':') and no ".."
/// component; either separator counts.
NameFault CheckContainedRelativeName(std::string_view programName);
inline bool IsContainedRelativeName(std::string_view programName) {
  return CheckContainedRelativeName(programName) == NameFault::None;
}

/// NAME (contained and relative) spelled as the game folder already spells
/// it: each component that does not exist as written, but exists in another
/// letter case, takes that spelling (the first such entry; an exact match
/// always wins); the rest is kept as written. Players run the game through a
/// layer that ignores letter case, and servers name files accordingly
/// ("DATA\Map.dat" for the folder "data/map.dat"). On Windows, whose names
/// ignore letter case already, NAME comes back unchanged.
std::string ResolveLetterCase(std::string_view programName);

/// ResolveLetterCase for the many names of one download session, in time
/// that does not grow with the size of the folders: each folder is listed
/// the first time a name in it needs another spelling, and that listing,
/// together with the names the session reports creating, stands for the
/// folder from then on (ResolveLetterCase lists it anew for every name).
/// Entries that others add or remove meanwhile are not seen.
class LetterCaseResolver {
 public:
  /// As ResolveLetterCase(NAME) answers, the folders as described above.
  std::string Resolve(std::string_view programName);
  /// Tells that NAME (contained and relative) now exists, with any folder
  /// made for it.
  void NoteCreated(std::string_view programName);

 private:
  using Listing = std::unordered_map<std::string, std::string>;  // folded name -> smallest entry
  std::unordered_map<std::string, Listing> folders_;             // host path from "." -> entries
};

/// The user's own temporary directory, ending in a separator, or empty when
/// none is usable: GetTempPathA on Windows (empty when its answer does not fit
/// 260 bytes). Elsewhere a folder "mirvale-updater-<uid>" of this user's that
/// is no link and that only this user may write to, made when missing: in the
/// runtime directory ($XDG_RUNTIME_DIR) when that is private, else in the
/// cache folder ($XDG_CACHE_HOME or ~/.cache), else (no usable cache folder)
/// in $TMPDIR or /tmp.
std::string UserTempDirectory();

}  // namespace platform
