#include "config/settings.h"

#include "platform/profile.h"
#include "session/wire.h"

namespace config {

namespace {
constexpr const char* kSection = "Update";
// Out of the box the updater asks an update server on this machine; the
// second entry names the same place by host name.
constexpr const char* kDefaultServer1 = "127.0.0.1";
constexpr const char* kDefaultServer2 = "localhost";
constexpr const char* kDefaultClient = "Mirvale.exe";
}  // namespace

UpdaterSettings ReadSettings(const std::string& iniPath) {
  UpdaterSettings settings;
  settings.serverAddresses[0] = platform::GetProfileString(kSection, "IP1", kDefaultServer1, iniPath);
  settings.serverAddresses[1] = platform::GetProfileString(kSection, "IP2", kDefaultServer2, iniPath);
  settings.port = platform::GetProfileInt(kSection, "Port", session::kDefaultPort, iniPath);
  settings.clientExecutable = platform::GetProfileString(kSection, "Client", kDefaultClient, iniPath);
  settings.publicKey = platform::GetProfileString(kSection, "PublicKey", "", iniPath);
  return settings;
}

UpdaterSettings LoadSettings() { return ReadSettings(".\\Config.ini"); }

}  // namespace config
