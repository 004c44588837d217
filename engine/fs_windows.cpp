// The file seam on Windows: files opened with CreateFileA and handed to the
// C library as binary descriptors, links (reparse points) opened as
// themselves and never followed, MoveFileExA for putting a finished file in
// place, SetFileTime for the times and _chmod for the one permission bit
// Windows has (owner write, the read-only attribute). System errors are
// mapped onto errno values, so that the engine's messages use the C
// library's texts as on other platforms.
//
// The read-only attribute belongs to the file, not to one of its names. It
// is cleared only right before a rename or a delete that it blocks, and a
// file that keeps other names gets it back through an open handle once this
// name is gone, so those names stay read-only.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "file_system.h"
#include "seam.h"

namespace engine::fs {
namespace {

/// Sets errno from system error ERROR; returns -1 for the caller.
int fail_with(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
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
    case ERROR_NOT_SAME_DEVICE:
      errno = EXDEV;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
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

int fail_with_last_error() { return fail_with(GetLastError()); }

/// 100 ns intervals from 1601-01-01 to 1970-01-01, and in a second.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;
constexpr std::int64_t kTicksPerSecond = 10000000;

/// Seconds and nanoseconds since 1970 from a FILETIME (100 ns since 1601);
/// times before 1970 round towards the past, as POSIX times do.
FileTime time_of(const FILETIME& t) {
  const std::int64_t ticks =
      std::int64_t(std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) - kUnixEpochTicks;
  std::int64_t seconds = ticks / kTicksPerSecond, rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    seconds -= 1;
    rest += kTicksPerSecond;
  }
  return FileTime{seconds, long(rest) * 100};
}

FILETIME filetime_of(const FileTime& t) {
  const std::int64_t ticks = t.seconds * kTicksPerSecond + t.nanoseconds / 100 + kUnixEpochTicks;
  const std::uint64_t bits = ticks < 0 ? 0 : std::uint64_t(ticks);
  return FILETIME{DWORD(bits), DWORD(bits >> 32)};
}

/// The status of an open handle, read the way the C library's stat reads it:
/// read and write for everyone unless the file is read-only. With
/// ASK_TYPE a file that is no disk file (a device under a reserved name such
/// as NUL) is told apart; the type is asked after the times are read,
/// because Wine's answer to that question touches the file's access time.
bool status_of(HANDLE handle, FileStatus* status, bool ask_type) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  const DWORD attributes = info.dwFileAttributes;
  const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
  status->kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? FileKind::Link
                 : directory                               ? FileKind::Directory
                                                           : FileKind::Regular;
  status->device = info.dwVolumeSerialNumber;
  status->inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  const unsigned permissions = attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
  status->mode = (directory ? _S_IFDIR | 0111 : _S_IFREG) | permissions;
  status->owner = status->group = 0;
  status->size = std::int64_t(std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
  status->access = time_of(info.ftLastAccessTime);
  status->modification = time_of(info.ftLastWriteTime);
  status->change = time_of(info.ftLastWriteTime);
  if (ask_type && status->kind == FileKind::Regular && GetFileType(handle) != FILE_TYPE_DISK)
    status->kind = FileKind::Other;
  return true;
}

/// A rename is on the disk when MoveFileExA returns, so that a power cut
/// after the installation cannot bring an installed name back empty.
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Opens NAME itself (a reparse point as such, a directory too) with ACCESS.
HANDLE open_itself(const char* name, DWORD access) {
  return CreateFileA(name, access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

/// Hands HANDLE to the C library as a binary descriptor (closing it when
/// that fails).
Handle descriptor_of(HANDLE handle, int flags) {
  const Handle fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

bool set_attributes(HANDLE handle, FILE_BASIC_INFO basic, DWORD attributes) {
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

/// Deletes NAME (the link itself when NAME is one) although it is
/// read-only: the attribute is cleared by name (a read-only file cannot be
/// opened for writing its attributes or for deletion under every system),
/// a handle that shares deletion is opened, the name deleted, and the
/// attribute put back through the handle, so that other names of the file
/// keep it. When the delete fails the attribute is back as well. 0, or the
/// system error.
DWORD delete_read_only(const char* name, DWORD attributes) {
  if (!SetFileAttributesA(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return GetLastError();
  HANDLE handle = CreateFileA(name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  FILE_BASIC_INFO basic{};
  const bool held = handle != INVALID_HANDLE_VALUE &&
                    GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
  const DWORD error = DeleteFileA(name) ? 0 : GetLastError();
  if (held) {
    set_attributes(handle, basic, basic.FileAttributes | FILE_ATTRIBUTE_READONLY);
  } else if (error != 0) {
    SetFileAttributesA(name, attributes);
  }
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return error;
}

/// The attributes and the number of names of NAME itself; false when it
/// cannot be looked at.
bool look_at(const char* name, DWORD* attributes, DWORD* links) {
  HANDLE handle = open_itself(name, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  *attributes = info.dwFileAttributes;
  *links = info.nNumberOfLinks;
  return ok;
}

}  // namespace

bool is_separator(char c) { return c == '/' || c == '\\'; }

int query(const char* name, FileStatus* status) {
  HANDLE handle = open_itself(name, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_last_error();
  // What is found here is looked at again when it is opened for reading.
  const bool ok = status_of(handle, status, false);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  return ok ? 0 : fail_with(error);
}

Handle open_input(const char* name, FileStatus* status) {
  // A pipe or a device under NAME is opened but never read: the engine reads
  // only what status_of calls a regular file.
  HANDLE handle = open_itself(name, GENERIC_READ);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_last_error();
  if (!status_of(handle, status, true)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    return fail_with(error);
  }
  return descriptor_of(handle, _O_RDONLY);
}

Handle create_new(const char* name) {
  if (fails_now(FileOp::Create)) return -1;
  // CREATE_NEW fails on anything that exists under the name, a link too.
  // No sharing: nobody else opens the file while it is being written.
  HANDLE handle = CreateFileA(name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_with_last_error();
  return descriptor_of(handle, _O_WRONLY);
}

/// The C library's calls take an unsigned count: larger transfers go in pieces.
constexpr std::size_t kLargestPiece = 0x40000000;

long read(Handle handle, void* data, std::size_t count) {
  return _read(handle, data, unsigned(count > kLargestPiece ? kLargestPiece : count));
}

long write(Handle handle, const void* data, std::size_t count) {
  if (fails_now(FileOp::Write)) return -1;
  return _write(handle, data, unsigned(count > kLargestPiece ? kLargestPiece : count));
}

int close(Handle handle) {
  if (fails_now(FileOp::Close)) {
    _close(handle);
    return -1;
  }
  return _close(handle);
}

int flush(Handle handle) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  return FlushFileBuffers(h) ? 0 : fail_with_last_error();
}

int set_mode(Handle, const char* name, unsigned mode) {
  // Only the owner's write bit has a meaning here: without it the file is
  // read-only. Writing through the open handle goes on regardless.
  if (fails_now(FileOp::SetMode)) return -1;
  return _chmod(name, mode & 0200 ? _S_IREAD | _S_IWRITE : _S_IREAD);
}

int set_times(Handle handle, const FileTime& access, const FileTime& modification) {
  if (fails_now(FileOp::SetTimes)) return -1;
  const FILETIME a = filetime_of(access), m = filetime_of(modification);
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  return SetFileTime(h, nullptr, &a, &m) ? 0 : fail_with_last_error();
}

int replace(const char* from, const char* to) {
  if (fails_now(FileOp::Replace)) return -1;
  if (MoveFileExA(from, to, kMoveFlags)) return 0;
  const DWORD error = GetLastError();
  DWORD attributes = 0, links = 0;
  if (error != ERROR_ACCESS_DENIED || !look_at(to, &attributes, &links) ||
      !(attributes & FILE_ATTRIBUTE_READONLY) || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail_with(error);

  if (links > 1) {
    // Other names keep the file read-only: this name goes first, then the
    // new file takes it. (Not one step: between the two the name is free.)
    const DWORD deleted = delete_read_only(to, attributes);
    if (deleted != 0) return fail_with(deleted);
    return MoveFileExA(from, to, kMoveFlags) ? 0 : fail_with_last_error();
  }
  // The file has no other name, so the attribute goes with it: cleared, and
  // put back only if the rename still fails.
  if (!SetFileAttributesA(to, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return fail_with(error);
  if (MoveFileExA(from, to, kMoveFlags)) return 0;
  const DWORD again = GetLastError();
  SetFileAttributesA(to, attributes);
  return fail_with(again);
}

int remove_files_in(const char* folder, bool (*select)(const char* name)) {
  const DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_with_last_error();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    errno = ENOTDIR;
    return -1;
  }
  std::string path = folder;
  if (!path.empty() && !is_separator(path.back())) path += '\\';
  const std::size_t base = path.size();
  WIN32_FIND_DATAA found;
  HANDLE search =
      FindFirstFileExA((path + '*').c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return fail_with_last_error();
  int removed = 0;
  do {
    // A link (reparse point) or a folder of a matching name stays.
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (!select(found.cFileName)) continue;
    path.resize(base);
    path += found.cFileName;
    if (remove(path.c_str()) == 0) ++removed;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return removed;
}

int remove(const char* name) {
  if (fails_now(FileOp::Remove)) return -1;
  if (DeleteFileA(name)) return 0;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesA(name);
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_READONLY))
    return fail_with(error);
  const DWORD deleted = delete_read_only(name, attributes);
  return deleted == 0 ? 0 : fail_with(deleted);
}

}  // namespace engine::fs
