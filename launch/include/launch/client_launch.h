#pragma once
/// Starting the game client with the chosen server, without any window: the
/// argument text it is given and the folder it starts in. The server
/// selection shows what a failure returns.

#include <cstdint>
#include <string>

#include "platform/process.h"

namespace launch {

/// The argument text for the client: "-Update /IP:" and ADDRESS (network
/// order, first octet in the lowest byte) in dotted decimal.
std::string ClientArguments(std::uint32_t address);

/// Starts the client that CLIENTSETTING (Config.ini's Client: a file name,
/// perhaps behind a folder) names, with ARGUMENTS. Its folder becomes the
/// current one first; when it cannot, the current one stays and the client
/// is looked for from there. Returns code 0 when the client was started.
platform::StartFailure LaunchClient(const std::string& clientSetting, const std::string& arguments);

}  // namespace launch
