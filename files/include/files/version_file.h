#pragma once
/// File.ver: the installed versions, as the scrambled text "%d %d %d %x" of
/// kind (always 1), major, minor and the check value (kind + major + minor) / 3.

#include <cstdint>

namespace files {

struct FileVersionRecord {
  std::int32_t kind = 0;
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t check = 0;
};

enum class VersionFileOutcome { Absent, Valid, Damaged, WrongKind };

/// Reads File.ver in the current directory. RECORD is filled for Valid (and
/// holds what was parsed otherwise).
VersionFileOutcome ReadVersionFile(FileVersionRecord& record);

/// Writes File.ver with kind 1; false only when the file cannot be created.
bool WriteVersionFile(std::uint32_t major, std::uint32_t minor);

}  // namespace files
