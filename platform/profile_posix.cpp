#include "platform/profile.h"

#include "platform/ini_file.h"
#include "platform/paths.h"

namespace platform {

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& iniPath,
                             std::size_t bufferSize) {
  return ini::ReadString(section, key, defaultValue, HostPath(iniPath), bufferSize);
}

unsigned GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                       const std::string& iniPath) {
  return ini::ReadInt(section, key, defaultValue, HostPath(iniPath));
}

std::vector<std::string> GetProfileKeyNames(const std::string& section, const std::string& iniPath) {
  return ini::KeyNames(section, HostPath(iniPath));
}

}  // namespace platform
