#pragma once
/// Names inside the program keep backslashes as separators ("data\maps\a.dat");
/// these map them to host paths at the file-system boundary.

#include <string>
#include <string_view>

namespace platform {

/// Longest path the program handles, in characters (its buffers hold 260 bytes).
constexpr std::size_t kMaxPath = 259;

/// "data\maps\a.dat" -> "data/maps/a.dat"; ".\Config.ini" -> "./Config.ini".
/// On Windows the name is a host path already and comes back unchanged.
std::string HostPath(std::string_view programName);

/// True when NAME names something below the current directory: not empty, not
/// absolute (leading '\' or '/'), no drive (':') and no ".." component.
bool IsContainedRelativeName(std::string_view programName);

/// The user's own temporary directory, ending in a separator, or empty when
/// none is usable: GetTempPathA on Windows (empty when its answer does not fit
/// 260 bytes); elsewhere a private folder of ours in the runtime or temporary
/// directory.
std::string UserTempDirectory();

}  // namespace platform
