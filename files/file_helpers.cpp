#include "files/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files/scramble.h"
#include "platform/paths.h"

namespace files {

namespace {

constexpr std::size_t kBlockSize = 256;

/// How often a write or move is tried again after making the target
/// writable, while the failure stays "permission denied".
constexpr int kPermissionRetries = 3;

bool TooLong(const std::string& path) {
  if (path.size() <= platform::kMaxPath) return false;
  errno = ENAMETOOLONG;
  return true;
}

/// The counterpart of resetting a file's attributes to normal: the owner may
/// write it again. Failure is left to the following retry to discover.
void MakeWritable(const std::string& hostPath) {
  struct stat st {};
  if (stat(hostPath.c_str(), &st) == 0) chmod(hostPath.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string MakeTempPath(const std::string& name) {
  const std::string dir = platform::UserTempDirectory();
  if (dir.empty() || dir.size() >= platform::kMaxPath + 1) return {};
  std::string_view rest(name);
  if (rest.substr(0, 1) == "\\") rest.remove_prefix(1);
  if (rest.substr(0, 2) == ".\\") rest.remove_prefix(2);
  std::string path = dir + std::string(rest);
  if (path.size() > platform::kMaxPath) return {};
  return path;
}

bool UnscrambleFile(const std::string& source, const std::string& destination) {
  if (TooLong(source) || TooLong(destination)) return false;
  const int in = open(platform::HostPath(source).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (in < 0) return false;
  // The destination is replaced, never merged with an older, longer list, and
  // a symbolic link planted in its place is not followed.
  const int out = open(platform::HostPath(destination).c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    close(in);
    errno = error;
    return false;
  }
  bool written = true;
  char block[kBlockSize + 1];
  for (;;) {
    const ssize_t got = read(in, block, kBlockSize);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // a read error ends the copy like the end of the file
    block[got] = '\0';
    UnscrambleText(block);
    if (!WriteAll(out, block, static_cast<std::size_t>(got))) {
      written = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) written = false;
  return written;
}

std::FILE* OpenForWriteWithRetry(const std::string& path) {
  if (TooLong(path)) return nullptr;
  const std::string host = platform::HostPath(path);
  std::FILE* file = std::fopen(host.c_str(), "wb");
  for (int retry = 0; file == nullptr && errno == EACCES && retry < kPermissionRetries; ++retry) {
    MakeWritable(host);
    file = std::fopen(host.c_str(), "wb");
  }
  if (file != nullptr) return file;
  if (errno == ENOENT && CreateParentDirectories(path)) return std::fopen(host.c_str(), "wb");
  return nullptr;
}

bool CreateParentDirectories(const std::string& path) {
  if (TooLong(path)) return false;
  const std::size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return false;
  const std::string parent = path.substr(0, separator);
  const std::string host = platform::HostPath(parent);
  if (mkdir(host.c_str(), 0755) == 0) return true;
  if (errno == ENOENT && CreateParentDirectories(parent)) return mkdir(host.c_str(), 0755) == 0;
  return false;
}

bool MoveFileWithRetry(const std::string& source, const std::string& destination) {
  if (TooLong(source) || TooLong(destination)) return false;
  const std::string from = platform::HostPath(source);
  const std::string to = platform::HostPath(destination);
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  for (int retry = 0; (errno == EACCES || errno == EPERM) && retry < kPermissionRetries; ++retry) {
    MakeWritable(to);
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  }
  // A missing source is no reason to create directories; a missing
  // destination folder is.
  if (errno == ENOENT && access(from.c_str(), F_OK) == 0 && CreateParentDirectories(destination))
    return std::rename(from.c_str(), to.c_str()) == 0;
  return false;
}

}  // namespace files
