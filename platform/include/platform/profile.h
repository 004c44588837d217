#pragma once
/// INI profile reading (GetPrivateProfileStringA / GetPrivateProfileIntA):
/// section and key names match case-insensitively, blanks around names and
/// values are trimmed, a value is cut to the buffer size minus one, and a
/// missing file, section or key gives the default. On Windows the system's
/// service answers; elsewhere our reader of ini_file.h, which answers as it
/// does.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace platform {

constexpr std::size_t kProfileBufferSize = 128;

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& iniPath,
                             std::size_t bufferSize = kProfileBufferSize);

/// The value as an integer (sign, "0x" prefix and 32-bit wrap as the
/// service reads it), or the default when the key is missing or empty.
unsigned GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                       const std::string& iniPath);

/// The names of the keys in SECTION, in file order; empty when the file or
/// the section is missing.
std::vector<std::string> GetProfileKeyNames(const std::string& section, const std::string& iniPath);

/// One profile file for a batch of lookups: each answers as the function of
/// the same name above would. Elsewhere than on Windows the file is read once,
/// when the object is made, and later changes to it are not seen; on Windows
/// the system's service answers each lookup from the file.
class ProfileFile {
 public:
  explicit ProfileFile(const std::string& iniPath);

  std::string GetString(const std::string& section, const std::string& key, const std::string& defaultValue,
                        std::size_t bufferSize = kProfileBufferSize) const;
  unsigned GetInt(const std::string& section, const std::string& key, int defaultValue) const;
  std::vector<std::string> GetKeyNames(const std::string& section) const;

 private:
  [[maybe_unused]] std::string path_;  // what the system's service reads on Windows
  ini::Profile profile_;               // the file as read, elsewhere
};

}  // namespace platform
