#include "install/game_check.h"

#include <strings.h>

#include "files/file.h"
#include "files/file_helpers.h"
#include "platform/paths.h"
#include "session/wire.h"
#include "trust/hash.h"
#include "trust/keys.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace install {

namespace {

enum class Found { Missing, Read, Unreadable };

/// Reads the file at the program name NAME through HASHER.
Found HashFile(const std::string& name, trust::Hasher& hasher) {
  files::File file = files::File::Open(platform::HostPath(name), files::File::Mode::ReadExisting);
  if (!file.IsOpen()) return Found::Missing;
  char block[1 << 16];
  for (;;) {
    const long got = file.Read(block, sizeof block);
    if (got < 0) return Found::Unreadable;
    if (got == 0) return Found::Read;
    hasher.Update(block, static_cast<std::size_t>(got));
  }
}

}  // namespace

GameCheck CheckInstalledGame(const std::string& publicKeyLine) {
  GameCheck check;
  if (publicKeyLine.empty()) {
    check.problem = "no PublicKey in the [Update] section of Config.ini: nothing to check against";
    return check;
  }
  trust::PublicKey key;
  if (const trust::Verdict v = trust::ParsePublicKey(publicKeyLine, key); v != trust::Verdict::Accepted) {
    check.problem = std::string("the PublicKey of Config.ini cannot be used: ") + trust::VerdictText(v);
    return check;
  }
  platform::LetterCaseResolver letterCase;
  std::string manifestText, signatureFile;
  if (!files::ReadSmallFile(letterCase.Resolve(trust::kManifestFileName), trust::kMaxManifestSize,
                            manifestText) ||
      !files::ReadSmallFile(letterCase.Resolve(trust::kManifestSignatureFileName),
                            trust::kMaxSignatureFileSize, signatureFile)) {
    check.problem = std::string("no installed manifest to check against (") + trust::kManifestFileName +
                    " and " + trust::kManifestSignatureFileName + " come with a checked update)";
    return check;
  }
  trust::Manifest manifest;
  if (const trust::Verdict v = trust::VerifyManifest(key, manifestText, signatureFile, manifest);
      v != trust::Verdict::Accepted) {
    check.problem = std::string(trust::kManifestFileName) + ": " + trust::VerdictText(v);
    return check;
  }
  trust::Hasher hasher;
  for (const trust::ManifestEntry& entry : manifest.files) {
    // Named as the session names the download, so found where it installed it.
    const std::string local = session::LocalFileName(letterCase.Resolve(entry.name));
    if (strcasecmp(local.c_str(), session::kDiscardedFileName) == 0) continue;
    ++check.checked;
    hasher.Final();  // starts over
    switch (HashFile(local, hasher)) {
      case Found::Missing:
        check.missing.push_back(entry.name);
        break;
      case Found::Unreadable:
        check.damaged.push_back(entry.name);
        break;
      case Found::Read:
        if (hasher.size() != entry.size || hasher.Final() != entry.contentHash)
          check.damaged.push_back(entry.name);
        break;
    }
  }
  return check;
}

}  // namespace install
