#include "platform/file_times.h"

#include <windows.h>

namespace platform {

namespace {

// FILETIME counts 100-nanosecond steps from 1601-01-01 UTC.
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

std::int64_t ToSeconds(const FILETIME& time) {
  const auto ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                               time.dwLowDateTime);
  // Floor division: a time before 1970 stays on the right second.
  std::int64_t seconds = ticks / kTicksPerSecond;
  if (ticks % kTicksPerSecond < 0) --seconds;
  return seconds - kSecondsFrom1601To1970;
}

FILETIME ToFileTime(std::int64_t seconds) {
  const auto ticks = static_cast<std::uint64_t>((seconds + kSecondsFrom1601To1970) * kTicksPerSecond);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

}  // namespace

bool FileModificationTime(const std::string& hostPath, std::int64_t& seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(hostPath.c_str(), GetFileExInfoStandard, &data)) return false;
  seconds = ToSeconds(data.ftLastWriteTime);
  return true;
}

bool SetFileTimes(const std::string& hostPath, std::int64_t seconds) {
  const HANDLE file = CreateFileA(hostPath.c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const FILETIME time = ToFileTime(seconds);
  const bool set = SetFileTime(file, nullptr, &time, &time) != 0;
  CloseHandle(file);
  return set;
}

bool ReadFileStamp(const std::string& hostPath, FileStamp& stamp) {
  const HANDLE file = CreateFileA(hostPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool read = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!read) return false;
  const auto ticks = [](const FILETIME& time) {
    return static_cast<long long>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  };
  stamp.size = static_cast<long long>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  stamp.modified = ticks(info.ftLastWriteTime) * 100;
  stamp.changed = ticks(info.ftCreationTime) * 100;
  stamp.inode = static_cast<long long>((static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return true;
}

}  // namespace platform
