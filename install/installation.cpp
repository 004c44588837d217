#include "install/installation.h"

#include <strings.h>

#include <unordered_set>
#include <utility>

#include "engine/decompress.h"
#include "files/durability.h"
#include "files/version_file.h"
#include "platform/paths.h"
#include "session/wire.h"

namespace install {

namespace {

/// The folders the installation writes into, as host paths, each once: the
/// game folder (the current directory) and the folder of every name.
std::vector<std::string> FoldersOf(const std::vector<std::string>& names) {
  std::vector<std::string> folders{"."};
  std::unordered_set<std::string> seen{"."};
  for (const std::string& name : names) {
    const std::size_t end = name.find_last_of("\\/");
    if (end == std::string::npos || end == 0) continue;
    std::string folder = platform::HostPath(name.substr(0, end));
    if (seen.insert(folder).second) folders.push_back(std::move(folder));
  }
  return folders;
}

}  // namespace

std::string InstallResult::FailureText() const {
  switch (outcome) {
    case Outcome::DecompressFailed: return "Can't decompress " + failedName;
    case Outcome::VersionFileFailed: return "Can't create File.ver";
    case Outcome::Nothing:
    case Outcome::Installed: break;
  }
  return {};
}

InstallResult InstallReceivedFiles(std::vector<std::string>& receivedNames, std::uint32_t major,
                                   std::uint32_t minor,
                                   const std::function<void(const std::string&)>& onInstalled) {
  InstallResult result;
  auto& names = receivedNames;
  if (names.empty()) return result;
  // An installation that was cut short (the process killed, the power gone)
  // left the engine's temporary files behind; they are ours and of no use.
  const std::vector<std::string> folders = FoldersOf(names);
  for (const std::string& folder : folders) engine::remove_leftovers(folder.c_str());

  for (std::size_t i = 0; i < names.size(); ++i) {
    // The server's copy of File.ver is never installed: File.ver is always
    // written from the versions below.
    if (strcasecmp(names[i].c_str(), session::kDiscardedFileName) == 0) continue;
    const std::string compressed = names[i] + ".gz";
    // A warning counts as a failure: the file may not be what the game expects.
    if (engine::decompress_file(platform::HostPath(compressed).c_str()) != 0) {
      names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i));
      result.outcome = InstallResult::Outcome::DecompressFailed;
      result.failedName = compressed;
      return result;
    }
    ++result.installed;
    if (onInstalled) onInstalled(names[i]);
  }
  names.clear();
  // The files first, then File.ver: after a power cut it never names
  // versions whose files did not reach the disk. Unflushed files keep the
  // old versions recorded, so the next run fetches them again.
  const bool durable = files::MakeDurable(folders);
  result.outcome = durable && files::WriteVersionFile(major, minor)
                       ? InstallResult::Outcome::Installed
                       : InstallResult::Outcome::VersionFileFailed;
  return result;
}

}  // namespace install
