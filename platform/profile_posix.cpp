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

ProfileFile::ProfileFile(const std::string& iniPath)
    : path_(iniPath), profile_(ini::Profile::Load(HostPath(iniPath))) {}

std::string ProfileFile::GetString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue, std::size_t bufferSize) const {
  return profile_.ReadString(section, key, defaultValue, bufferSize);
}

unsigned ProfileFile::GetInt(const std::string& section, const std::string& key, int defaultValue) const {
  return profile_.ReadInt(section, key, defaultValue);
}

std::vector<std::string> ProfileFile::GetKeyNames(const std::string& section) const {
  return profile_.KeyNames(section);
}

}  // namespace platform
