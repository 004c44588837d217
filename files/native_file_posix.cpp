#include "native_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace files::native {

namespace {

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

Failure Classify(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS: return Failure::AccessDenied;
    case ENOENT:
    case ENOTDIR: return Failure::PathNotFound;
    default: return Failure::Other;
  }
}

}  // namespace

File File::Open(const std::string& hostPath, Mode mode) {
  int flags = O_CLOEXEC;
  mode_t permissions = 0644;
  switch (mode) {
    case Mode::ReadExisting: flags |= O_RDONLY; break;
    case Mode::ReadOrCreate: flags |= O_RDONLY | O_CREAT; break;
    case Mode::ReplaceShared:
      flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
      permissions = 0600;
      break;
    case Mode::ReplaceExclusive: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
  }
  const int fd = ::open(hostPath.c_str(), flags, permissions);
  return fd < 0 ? File() : File(fd);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

long File::Read(void* buffer, std::size_t length) {
  ssize_t got;
  do {
    got = ::read(Descriptor(handle_), buffer, length);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool File::WriteAll(const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(Descriptor(handle_), p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Close() {
  if (handle_ == kClosed) return true;
  const bool closed = ::close(Descriptor(handle_)) == 0;
  handle_ = kClosed;
  return closed;
}

bool MakeDirectory(const std::string& hostPath, Failure& failure) {
  if (::mkdir(hostPath.c_str(), 0755) == 0) return true;
  failure = Classify(errno);
  return false;
}

bool MoveReplacing(const std::string& from, const std::string& to, Failure& failure) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  failure = Classify(errno);
  return false;
}

bool Exists(const std::string& hostPath) { return ::access(hostPath.c_str(), F_OK) == 0; }

void MakeWritable(const std::string& hostPath) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) == 0) ::chmod(hostPath.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

void RecordNameTooLong() { errno = ENAMETOOLONG; }

}  // namespace files::native
