#pragma once
/// File times in seconds since 1970-01-01 UTC (the notice page carries the
/// server's time stamp as its own).

#include <cstdint>
#include <string>

namespace platform {

/// The modification time of the file at HOSTPATH; false when it cannot be read.
bool FileModificationTime(const std::string& hostPath, std::int64_t& seconds);

/// Sets the access and modification times of the file at HOSTPATH.
bool SetFileTimes(const std::string& hostPath, std::int64_t seconds);

}  // namespace platform
