#include "launch/server_list.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "files/file_helpers.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/socket_layer.h"

namespace launch {
namespace {

constexpr const char* kSection = "Server";
constexpr std::size_t kValueBuffer = 128;  // names and addresses: at most 127 characters

/// One past the highest N of any "NameN" or "IPN" key: entries beyond it
/// could only be empty, so a huge Count is not walked to its end.
std::uint32_t EntriesPresent(const platform::ProfileFile& list) {
  std::uint32_t end = 0;
  for (const std::string& key : list.GetKeyNames(kSection)) {
    std::size_t prefix = 0;
    if (key.size() > 4 && strncasecmp(key.c_str(), "name", 4) == 0) prefix = 4;
    if (key.size() > 2 && strncasecmp(key.c_str(), "ip", 2) == 0) prefix = 2;
    if (prefix == 0 || !std::all_of(key.begin() + prefix, key.end(), ::isdigit)) continue;
    const unsigned long index = std::strtoul(key.c_str() + prefix, nullptr, 10);
    if (index < 0xFFFFFFFFul) end = std::max(end, static_cast<std::uint32_t>(index + 1));
  }
  return end;
}

}  // namespace

std::vector<ServerEntry> ReadServerList(const std::string& listPath) {
  const platform::ProfileFile list(listPath);
  const std::uint32_t count = std::min(list.GetInt(kSection, "Count", 0), EntriesPresent(list));
  std::vector<ServerEntry> entries;
  entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string index = std::to_string(i);
    ServerEntry entry;
    entry.name = list.GetString(kSection, "Name" + index, "", kValueBuffer);
    // Not an address: all ones, as the address parser of the sockets gives it.
    entry.address = platform::InetAddr(list.GetString(kSection, "IP" + index, "", kValueBuffer));
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<ServerEntry>> LoadServerList(const std::string& scrambledPath) {
  const std::string listPath = files::MakeTempPath("Server.lst");
  if (listPath.empty() || !files::UnscrambleFile(scrambledPath, listPath)) return std::nullopt;
  std::vector<ServerEntry> entries = ReadServerList(listPath);
  std::remove(platform::HostPath(listPath).c_str());
  return entries;
}

}  // namespace launch
