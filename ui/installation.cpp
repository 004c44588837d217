#include "ui/installation.h"

#include <strings.h>

#include "engine/decompress.h"
#include "files/version_file.h"
#include "platform/paths.h"

namespace ui {

std::string InstallResult::FailureText() const {
  switch (outcome) {
    case Outcome::DecompressFailed: return "Can't decompress " + failedName;
    case Outcome::VersionFileFailed: return "Can't create File.ver";
    case Outcome::Nothing:
    case Outcome::Installed: break;
  }
  return {};
}

InstallResult InstallReceivedFiles(session::SessionOutcome& outcome,
                                   const std::function<void(const std::string&)>& onInstalled) {
  InstallResult result;
  auto& names = outcome.receivedNames;
  if (names.empty()) return result;
  for (std::size_t i = 0; i < names.size(); ++i) {
    // The server's copy of File.ver arrives as null.dat and is never
    // installed: File.ver is always written from the versions below.
    if (strcasecmp(names[i].c_str(), "null.dat") == 0) continue;
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
  result.outcome = files::WriteVersionFile(outcome.versions[0], outcome.versions[1])
                       ? InstallResult::Outcome::Installed
                       : InstallResult::Outcome::VersionFileFailed;
  return result;
}

}  // namespace ui
