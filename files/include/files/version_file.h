#pragma once
/// File.ver: the installed versions, as the scrambled text "%d %d %d %x" of
/// kind (always 1), major, minor and the check value (kind + major + minor) / 3.

#include <cstdint>
#include <string>

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

/// The same for a version file under another name (the admin tool's).
/// A text that does not yield all four fields is Damaged.
VersionFileOutcome ReadVersionFile(FileVersionRecord& record, const std::string& path);
/// False when the file cannot be created or not be written completely.
bool WriteVersionFile(std::uint32_t major, std::uint32_t minor, const std::string& path);

/// The plain text "%d %d %d %x" of kind 1, MAJOR, MINOR and their check.
std::string FormatVersionText(std::uint32_t major, std::uint32_t minor);
/// The check value: (kind + major + minor) / 3 in signed 32-bit arithmetic.
std::int32_t VersionCheck(std::int32_t kind, std::int32_t major, std::int32_t minor);

inline constexpr const char* kVersionFileName = "File.ver";

}  // namespace files
