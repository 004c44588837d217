// The file seam on Windows: files opened with CreateFileA and handed to the
// C library as descriptors, links (reparse points) opened as themselves and
// never followed, MoveFileExA for putting a finished file in place, and the
// read-only attribute cleared where a rename or a delete needs it. System
// errors are mapped onto errno values, so that the engine's messages use
// the C library's texts as on other platforms.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "file_system.h"
#include "seam.h"

namespace engine::fs {
namespace {

/// Sets errno from the last system error; returns -1 for the caller.
int fail_with_system_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_CANT_RESOLVE_FILENAME:
      errno = ELOOP;
      break;
    default:
      errno = EIO;
      break;
  }
  return -1;
}

/// Seconds and nanoseconds since 1970 from a FILETIME (100 ns since 1601).
FileTime time_of(const FILETIME& t) {
  const std::int64_t ticks =
      std::int64_t((std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) - 116444736000000000ull);
  return FileTime{ticks / 10000000, long(ticks % 10000000) * 100};
}

FILETIME filetime_of(const FileTime& t) {
  const std::uint64_t ticks =
      std::uint64_t(t.seconds * 10000000 + t.nanoseconds / 100) + 116444736000000000ull;
  return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}

/// The status of an open handle, read the way the C library's stat reads it.
bool status_of(HANDLE handle, FileStatus* status) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  const DWORD attributes = info.dwFileAttributes;
  const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
  status->kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? FileKind::Link
                 : directory                               ? FileKind::Directory
                 : GetFileType(handle) == FILE_TYPE_DISK   ? FileKind::Regular
                                                           : FileKind::Other;
  status->device = info.dwVolumeSerialNumber;
  status->inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  const unsigned permissions = attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
  status->mode = (directory ? _S_IFDIR | 0111 : _S_IFREG) | permissions;
  status->owner = status->group = 0;
  status->size = std::int64_t(std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
  status->access = time_of(info.ftLastAccessTime);
  status->modification = time_of(info.ftLastWriteTime);
  status->change = time_of(info.ftLastWriteTime);
  return true;
}

/// Opens NAME itself (a reparse point as such) with ACCESS and DISPOSITION.
HANDLE open_itself(const char* name, DWORD access, DWORD disposition) {
  return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

/// Runs STEP on NAME; when the system refuses it because NAME is read-only,
/// clears that attribute and runs it once more, putting the attribute back
/// if it fails again. This is the only permission the engine ever changes,
/// and only right before the file is replaced or deleted.
template <class Step>
int on_writable(const char* name, Step step) {
  if (step()) return 0;
  DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesA(name);
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) &&
      SetFileAttributesA(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
    if (step()) return 0;
    error = GetLastError();
    SetFileAttributesA(name, attributes);
  }
  SetLastError(error);
  return fail_with_system_error();
}

}  // namespace

bool is_separator(char c) { return c == '/' || c == '\\'; }

int query(const char* name, FileStatus* status) {
  HANDLE handle = open_itself(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_system_error();
  const bool ok = status_of(handle, status);
  if (!ok) fail_with_system_error();
  CloseHandle(handle);
  return ok ? 0 : -1;
}

Handle open_input(const char* name, FileStatus* status) {
  HANDLE handle = open_itself(name, GENERIC_READ, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_system_error();
  if (!status_of(handle, status)) {
    fail_with_system_error();
    CloseHandle(handle);
    return -1;
  }
  Handle fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

Handle create_new(const char* name) {
  if (fails_now(FileOp::Create)) return -1;
  // CREATE_NEW fails on anything that exists under the name, a link too.
  HANDLE handle = CreateFileA(name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_system_error();
  Handle fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

long read(Handle handle, void* data, std::size_t count) {
  return _read(handle, data, unsigned(count > 0x40000000u ? 0x40000000u : count));
}

long write(Handle handle, const void* data, std::size_t count) {
  if (fails_now(FileOp::Write)) return -1;
  return _write(handle, data, unsigned(count > 0x40000000u ? 0x40000000u : count));
}

int close(Handle handle) {
  if (fails_now(FileOp::Close)) {
    _close(handle);
    return -1;
  }
  return _close(handle);
}

int set_mode(Handle, const char* name, unsigned mode) {
  // Only the owner's write bit has a meaning here: the read-only attribute.
  if (fails_now(FileOp::SetMode)) return -1;
  return _chmod(name, mode & 0200 ? _S_IREAD | _S_IWRITE : _S_IREAD);
}

int set_times(Handle handle, const FileTime& access, const FileTime& modification) {
  if (fails_now(FileOp::SetTimes)) return -1;
  const FILETIME a = filetime_of(access), m = filetime_of(modification);
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  return SetFileTime(h, nullptr, &a, &m) ? 0 : fail_with_system_error();
}

int replace(const char* from, const char* to) {
  if (fails_now(FileOp::Replace)) return -1;
  return on_writable(to, [&] { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0; });
}

int remove(const char* name) {
  if (fails_now(FileOp::Remove)) return -1;
  return on_writable(name, [&] { return DeleteFileA(name) != 0; });
}

}  // namespace engine::fs
