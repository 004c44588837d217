#include "platform/file_times.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

bool FileModificationTime(const std::string& hostPath, std::int64_t& seconds) {
  struct stat status {};
  if (::stat(hostPath.c_str(), &status) != 0) return false;
  seconds = static_cast<std::int64_t>(status.st_mtime);
  return true;
}

bool SetFileTimes(const std::string& hostPath, std::int64_t seconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, hostPath.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReadFileStamp(const std::string& hostPath, FileStamp& stamp) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) != 0) return false;
  stamp = {static_cast<long long>(st.st_size), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
           st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec, static_cast<long long>(st.st_ino)};
  return true;
}

}  // namespace platform
