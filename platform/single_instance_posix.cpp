#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace platform {

namespace {

/// The lock file standing for the mutex NAME.
std::string SingleInstanceLockPath(const std::string& name) {
  const std::string dir = UserTempDirectory();
  if (dir.empty()) return {};
  return dir + name + ".lock";
}

}  // namespace

int AcquireSingleInstance(const std::string& name) {
  const std::string path = SingleInstanceLockPath(name);
  if (path.empty()) return ENOENT;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == 0 ? EWOULDBLOCK : error;
  }
  // Deliberately kept open: the lock lives as long as the process.
  return 0;
}

}  // namespace platform
