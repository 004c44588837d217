#pragma once
/// INI profile reading with the rules the program relies on: section and key
/// names match case-insensitively, blanks around names and values are
/// trimmed, a value is cut to the buffer size minus one, and a missing file,
/// section or key gives the default.

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

constexpr std::size_t kProfileBufferSize = 128;

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& iniPath,
                             std::size_t bufferSize = kProfileBufferSize);

/// The leading decimal digits of the value (optionally signed), or the default
/// when the key is missing; a value with no digits reads as 0.
unsigned GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                       const std::string& iniPath);

/// The names of the keys in SECTION, in file order; empty when the file or
/// the section is missing.
std::vector<std::string> GetProfileKeyNames(const std::string& section, const std::string& iniPath);

}  // namespace platform
