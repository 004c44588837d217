#include "launch/client_launch.h"

#include <unistd.h>

#include "diag/trace.h"
#include "platform/paths.h"
#include "session/wire.h"

namespace launch {

std::string ClientArguments(std::uint32_t address) { return "-Update /IP:" + session::Ipv4ToText(address); }

platform::StartFailure LaunchClient(const std::string& clientSetting, const std::string& arguments) {
  const platform::ClientLocation client = platform::SplitClientSetting(clientSetting);
  if (!client.directory.empty()) {
    // The client's own folder becomes current; a failure leaves the current one.
    [[maybe_unused]] const int changed = ::chdir(platform::HostPath(client.directory).c_str());
  }
  const platform::StartFailure failure = platform::StartClient(client.fileName, arguments);
  if (failure.code == 0) {
    diag::Trace("client-started", "%s %s", client.fileName.c_str(), arguments.c_str());
  } else {
    diag::Trace("client-failed", "%s", failure.text.c_str());
  }
  return failure;
}

}  // namespace launch
