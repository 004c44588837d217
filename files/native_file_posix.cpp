#include "native_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "files/durability.h"

namespace files {
namespace {

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

native::Failure Classify(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return native::Failure::AccessDenied;
  if (error == ENOENT || error == ENOTDIR) return native::Failure::PathNotFound;
  return native::Failure::Other;
}

/// Makes room at PATH for a new file: a link or a regular file standing
/// there goes (its other names, and a link's target, stay as they are);
/// anything else is refused.
bool ClearName(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  return ::unlink(path) == 0 || errno == ENOENT;
}

}  // namespace

// Every open is non-blocking, so a pipe planted under the name cannot hold
// the program; what turns out not to be a regular file is refused.
File File::Open(const std::string& hostPath, Mode mode) {
  if (native::FailsNow(native::FileOp::Open)) return File();
  const char* path = hostPath.c_str();
  int flags = O_CLOEXEC | O_NONBLOCK;
  mode_t permissions = 0644;
  switch (mode) {
    case Mode::ReadExisting: flags |= O_RDONLY; break;
    case Mode::ReadOrCreate: flags |= O_RDONLY | O_CREAT; break;
    case Mode::ReplaceShared:
    case Mode::ReplaceExclusive:
      flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
      permissions = 0600;
      break;
    case Mode::ReplaceName:
      if (!ClearName(path)) return File();
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
  }
  const int fd = ::open(path, flags, permissions);
  if (fd < 0) return File();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return File();
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return File(fd);
}

long File::Read(void* buffer, std::size_t length) {
  ssize_t got;
  do {
    got = ::read(Descriptor(handle_), buffer, length);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool File::WriteAll(const void* data, std::size_t length) {
  if (native::FailsNow(native::FileOp::Write)) return false;
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

bool File::Sync() {
  int result;
  do {
    result = ::fsync(Descriptor(handle_));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool File::Close() {
  if (handle_ == kClosed) return true;
  const bool closed = ::close(Descriptor(handle_)) == 0;
  handle_ = kClosed;
  return !native::FailsNow(native::FileOp::Close) && closed;
}

namespace native {

bool MakeDirectory(const std::string& hostPath, Failure& failure) {
  if (::mkdir(hostPath.c_str(), 0755) == 0) return true;
  failure = Classify(errno);
  return false;
}

bool MoveReplacing(const std::string& from, const std::string& to, Failure& failure) {
  if (!FailsNow(FileOp::Move) && std::rename(from.c_str(), to.c_str()) == 0) return true;
  failure = Classify(errno);
  return false;
}

bool MoveReplacingDurably(const std::string& from, const std::string& to, Failure& failure) {
  if (!MoveReplacing(from, to, failure)) return false;
  const std::size_t slash = to.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return true;
}

bool Exists(const std::string& hostPath) { return ::access(hostPath.c_str(), F_OK) == 0; }

// Through a link this would change the permissions of whatever it points
// at; only a file standing at the name itself is made writable.
void MakeWritable(const std::string& hostPath) {
  struct stat st {};
  if (::lstat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    ::chmod(hostPath.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

void RecordNameTooLong() { errno = ENAMETOOLONG; }

bool FailsNow(FileOp op) {
  const int error = InjectedFailure(op);
  if (error != 0) errno = error;
  return error != 0;
}

}  // namespace native

bool MakeDurable(const std::vector<std::string>& hostFolders) {
  std::set<dev_t> synced;
  bool ok = true;
  for (const std::string& folder : hostFolders) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      ok = false;
      continue;
    }
    if (synced.insert(st.st_dev).second) {
#ifdef __linux__
      // Every dirty page and the journal of that file system: one flush for
      // the whole installation instead of one per file.
      if (::syncfs(fd) != 0) ok = false;
#else
      ::sync();
#endif
    }
    ::close(fd);
  }
  return ok;
}

}  // namespace files
