#include "files/notice_file.h"

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

bool StampNotice(std::int32_t stamp) { return platform::SetFileTimes(platform::HostPath(kNoticeName), stamp); }

}  // namespace files
