#pragma once
/// UpdaterSettings: read once from .\Config.ini, section "Update", before
/// anything else runs, and only read afterwards.

#include <array>
#include <cstdint>
#include <string>

#include "session/wire.h"

namespace app {

struct UpdaterSettings {
  std::array<std::string, 2> serverAddresses;  // IP1, IP2; either may be empty
  std::uint32_t port = session::kDefaultPort;
  std::string clientExecutable = "Mirvale.exe";
};

/// The process-wide settings.
extern UpdaterSettings updaterSettings;

/// Reads the four keys (IP1, IP2, Port, Client) of INIPATH with their defaults.
UpdaterSettings ReadSettings(const std::string& iniPath);

/// updaterSettings = ReadSettings(".\Config.ini").
void LoadSettings();

}  // namespace app
