// The parts of starting the client that do not depend on the platform.
#include "platform/process.h"

namespace platform {
namespace {

std::vector<std::string>& KeptArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

void RecordOwnArguments(int argc, const char* const* argv) {
  KeptArguments().assign(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
}

const std::vector<std::string>& OwnArguments() { return KeptArguments(); }

ClientLocation SplitClientSetting(const std::string& setting) {
  const std::size_t separator = setting.find_last_of("\\/");
  if (separator == std::string::npos) return {{}, setting};
  return {setting.substr(0, separator), setting.substr(separator + 1)};
}

}  // namespace platform
