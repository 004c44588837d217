#include "platform/profile.h"

#include <windows.h>

#include <vector>

// <windows.h> maps these names to the ANSI or wide entry points of its own
// (win.ini) profile functions; ours are the private-file ones.
#undef GetProfileString
#undef GetProfileInt

namespace platform {

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& iniPath,
                             std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::vector<char> buffer(bufferSize);
  const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(),
                                                buffer.data(), static_cast<DWORD>(bufferSize),
                                                iniPath.c_str());
  return std::string(buffer.data(), length);
}

unsigned GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                       const std::string& iniPath) {
  return GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, iniPath.c_str());
}

std::vector<std::string> GetProfileKeyNames(const std::string& section, const std::string& iniPath) {
  // With no key name the service lists the section's keys, each ended by a
  // NUL and the list by another; a list cut short by the buffer is tried again
  // with a larger one.
  for (DWORD size = 4096; size <= (1u << 24); size *= 4) {
    std::vector<char> buffer(size);
    const DWORD length = GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(), size,
                                                  iniPath.c_str());
    if (length + 2 >= size) continue;
    std::vector<std::string> names;
    for (const char* p = buffer.data(); *p != '\0'; p += names.back().size() + 1) names.emplace_back(p);
    return names;
  }
  return {};
}

ProfileFile::ProfileFile(const std::string& iniPath) : path_(iniPath) {}

std::string ProfileFile::GetString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue, std::size_t bufferSize) const {
  return platform::GetProfileString(section, key, defaultValue, path_, bufferSize);
}

unsigned ProfileFile::GetInt(const std::string& section, const std::string& key, int defaultValue) const {
  return platform::GetProfileInt(section, key, defaultValue, path_);
}

std::vector<std::string> ProfileFile::GetKeyNames(const std::string& section) const {
  return platform::GetProfileKeyNames(section, path_);
}

}  // namespace platform
