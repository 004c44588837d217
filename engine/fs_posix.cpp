// The file seam on POSIX systems: status records from lstat and fstat, files
// opened with O_NOFOLLOW (a link in the last component is never opened),
// rename for putting a finished file in place.
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_system.h"
#include "seam.h"

namespace engine::fs {
namespace {

FileTime time_of(const struct timespec& t) { return FileTime{t.tv_sec, t.tv_nsec}; }

void convert(const struct stat& st, FileStatus* status) {
  status->kind = S_ISREG(st.st_mode)   ? FileKind::Regular
                 : S_ISDIR(st.st_mode) ? FileKind::Directory
                 : S_ISLNK(st.st_mode) ? FileKind::Link
                                       : FileKind::Other;
  status->device = st.st_dev;
  status->inode = st.st_ino;
  status->mode = st.st_mode;
  status->owner = st.st_uid;
  status->group = st.st_gid;
  status->size = st.st_size;
  status->access = time_of(st.st_atim);
  status->modification = time_of(st.st_mtim);
  status->change = time_of(st.st_ctim);
}

}  // namespace

bool is_separator(char c) { return c == '/'; }

int query(const char* name, FileStatus* status) {
  struct stat st;
  if (::lstat(name, &st) != 0) return -1;
  convert(st, status);
  return 0;
}

Handle open_input(const char* name, FileStatus* status) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer. It has no effect on reading a regular file, the only kind the
  // engine goes on to read.
  Handle handle = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) return -1;
  struct stat st;
  if (::fstat(handle, &st) != 0) {
    int error = errno;
    ::close(handle);
    errno = error;
    return -1;
  }
  convert(st, status);
  return handle;
}

Handle create_new(const char* name) {
  if (fails_now(FileOp::Create)) return -1;
  return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

long read(Handle handle, void* data, std::size_t count) { return ::read(handle, data, count); }

long write(Handle handle, const void* data, std::size_t count) {
  return fails_now(FileOp::Write) ? -1 : ::write(handle, data, count);
}

int close(Handle handle) {
  if (fails_now(FileOp::Close)) {
    ::close(handle);  // the handle is gone either way, as after a failed close(2)
    return -1;
  }
  return ::close(handle);
}

int flush(Handle) { return 0; }

int set_mode(Handle handle, const char*, unsigned mode) {
  return fails_now(FileOp::SetMode) ? -1 : ::fchmod(handle, mode & 07777);
}

int set_times(Handle handle, const FileTime& access, const FileTime& modification) {
  if (fails_now(FileOp::SetTimes)) return -1;
  const struct timespec times[2] = {{access.seconds, access.nanoseconds},
                                    {modification.seconds, modification.nanoseconds}};
  return ::futimens(handle, times);
}

int replace(const char* from, const char* to) {
  return fails_now(FileOp::Replace) ? -1 : ::rename(from, to);
}

int remove_files_in(const char* folder, bool (*select)(const char* name)) {
  // Entries are looked at and deleted relative to the folder opened here,
  // so a folder swapped in under the same name meanwhile is not touched.
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* entries = ::fdopendir(fd);
  if (entries == nullptr) {
    ::close(fd);
    return -1;
  }
  int removed = 0;
  while (const struct dirent* entry = ::readdir(entries)) {
    if (!select(entry->d_name)) continue;
    struct stat st;
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!fails_now(FileOp::Remove) && ::unlinkat(fd, entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(entries);
  return removed;
}

int remove(const char* name) { return fails_now(FileOp::Remove) ? -1 : ::unlink(name); }

}  // namespace engine::fs
