#pragma once
/// The check of the installed game against the signed manifest that the
/// last checked update left in the game folder: each file the manifest
/// lists must be there, where the updater keeps it, with the content size
/// and hash the manifest gives.

#include <string>
#include <vector>

namespace install {

struct GameCheck {
  /// Why the game could not be checked at all (no key, no manifest, a bad
  /// signature); empty when it was.
  std::string problem;
  std::size_t checked = 0;           ///< files the manifest lists that were looked at
  std::vector<std::string> missing;  ///< names as on the wire, in manifest order
  std::vector<std::string> damaged;  ///< the same, present with other content

  bool allMatch() const { return problem.empty() && missing.empty() && damaged.empty(); }
};

/// Checks the game in the current directory with the key PUBLICKEYLINE (the
/// base64 line of Config.ini): the installed manifest's signature first,
/// then every file it lists, looked up as the updater writes it ("Update.exe"
/// as "Update0.exe", letter case as the game folder spells it). The server's
/// copy of File.ver, which the updater never installs, is not looked for.
GameCheck CheckInstalledGame(const std::string& publicKeyLine);

}  // namespace install
