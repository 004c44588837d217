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

/// What tells one version of a file from another: its size, its
/// modification and change times in nanoseconds and its number on the volume
/// (on Windows the change time is the creation time and the number the file
/// index).
struct FileStamp {
  long long size = -1, modified = 0, changed = 0, inode = 0;
};

/// The stamp of the file at HOSTPATH; false when it cannot be read.
bool ReadFileStamp(const std::string& hostPath, FileStamp& stamp);

}  // namespace platform
