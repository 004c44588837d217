#pragma once
/// The running program's own name, as the framework derives it.

#include <string>
#include <string_view>

namespace platform {

/// The base name of MODULEPATH: without directory and without extension.
/// The extension is cut at the last '.' of the file name itself; then
/// everything up to and including the last '\', '/' or ':' is dropped.
std::string BaseNameOfModule(std::string_view modulePath);

/// The full path of the running executable (GetModuleFileNameA on Windows,
/// the link target of /proc/self/exe elsewhere), or an empty string when it
/// cannot be read.
std::string ExecutablePath();

/// BaseNameOfModule(ExecutablePath()): the single-instance name and the
/// application's name in captions.
std::string ExecutableBaseName();

}  // namespace platform
