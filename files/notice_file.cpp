#include "files/notice_file.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/file_times.h"
#include "platform/paths.h"

namespace files {

std::int32_t LocalNoticeTime(std::int32_t stamp) {
  const std::string path = platform::HostPath(kNoticeName);
  std::int64_t modified = 0;
  if (!platform::FileModificationTime(path, modified)) return 0;
  if (stamp == 0) {
    std::remove(path.c_str());
    return 0;
  }
  return static_cast<std::int32_t>(modified);
}

std::optional<std::int64_t> ShowableNoticeSize() {
  struct stat status {};
  if (::stat(platform::HostPath(kNoticeName).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(status.st_size);
}

bool StampNotice(std::int32_t stamp) { return platform::SetFileTimes(platform::HostPath(kNoticeName), stamp); }

}  // namespace files
