#pragma once
/// UpdaterSettings: the servers to ask and the game client to start, read
/// once from .\Config.ini, section "Update", before anything else runs. The
/// program's entry point reads them and hands them to what needs them.

#include <array>
#include <cstdint>
#include <string>

#include "session/wire.h"

namespace config {

struct UpdaterSettings {
  std::array<std::string, 2> serverAddresses;  // IP1, IP2; either may be empty
  std::uint32_t port = session::kDefaultPort;
  std::string clientExecutable = "Mirvale.exe";
  /// "PublicKey": the base64 line of the key releases are signed with. When
  /// present (even unreadable), everything a session receives is checked
  /// against the signed manifest before anything is installed; empty: no
  /// checking, as before.
  std::string publicKey;

  bool checksReleases() const { return !publicKey.empty(); }
};

/// Reads the keys (IP1, IP2, Port, Client, PublicKey) of INIPATH with their defaults.
UpdaterSettings ReadSettings(const std::string& iniPath);

/// ReadSettings(".\Config.ini"): the settings of the game folder.
UpdaterSettings LoadSettings();

}  // namespace config
