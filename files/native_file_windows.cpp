#include "native_file.h"

#include <windows.h>

#include <cerrno>

#include "files/durability.h"

namespace files {
namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

native::Failure Classify(DWORD error) {
  if (error == ERROR_ACCESS_DENIED || error == ERROR_FILE_READ_ONLY) return native::Failure::AccessDenied;
  if (error == ERROR_PATH_NOT_FOUND) return native::Failure::PathNotFound;
  return native::Failure::Other;
}

/// ERROR as the errno value that callers test on every platform.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_READ_ONLY:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

/// A link (reparse point) standing at the name goes, so that the new file
/// is made here and not wherever the link points.
void RemoveLink(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path);
  }
}

}  // namespace

File File::Open(const std::string& hostPath, Mode mode) {
  if (native::FailsNow(FileOp::Open)) return File();
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case Mode::ReadExisting: break;
    case Mode::ReadOrCreate: disposition = OPEN_ALWAYS; break;
    case Mode::ReplaceShared:
    case Mode::ReplaceName:
      if (mode == Mode::ReplaceName) RemoveLink(hostPath.c_str());
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
    case Mode::ReplaceExclusive:
      access = GENERIC_WRITE;
      share = 0;
      disposition = CREATE_ALWAYS;
      break;
  }
  const HANDLE handle = CreateFileA(hostPath.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    errno = ErrnoOf(error);
    SetLastError(error);  // for the system error text shown to the player
    return File();
  }
  // Only a file on a disk: not a pipe, a device or a console.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    SetLastError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return File();
  }
  return File(reinterpret_cast<std::intptr_t>(handle));
}

long File::Read(void* buffer, std::size_t length) {
  DWORD got = 0;
  if (!ReadFile(Handle(handle_), buffer, static_cast<DWORD>(length), &got, nullptr)) return -1;
  return static_cast<long>(got);
}

bool File::WriteAll(const void* data, std::size_t length) {
  if (native::FailsNow(FileOp::Write)) return false;
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(Handle(handle_), p, static_cast<DWORD>(length), &written, nullptr) || written == 0)
      return false;
    p += written;
    length -= written;
  }
  return true;
}

bool File::Sync() { return FlushFileBuffers(Handle(handle_)) != 0; }

bool File::Close() {
  if (handle_ == kClosed) return true;
  const bool closed = CloseHandle(Handle(handle_)) != 0;
  handle_ = kClosed;
  return !native::FailsNow(FileOp::Close) && closed;
}

namespace native {

bool MakeDirectory(const std::string& hostPath, Failure& failure) {
  if (CreateDirectoryA(hostPath.c_str(), nullptr)) return true;
  failure = Classify(GetLastError());
  return false;
}

bool MoveReplacing(const std::string& from, const std::string& to, Failure& failure) {
  if (!FailsNow(FileOp::Move) && MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
    return true;
  failure = Classify(GetLastError());
  return false;
}

bool MoveReplacingDurably(const std::string& from, const std::string& to, Failure& failure) {
  if (!FailsNow(FileOp::Move) &&
      MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  failure = Classify(GetLastError());
  return false;
}

bool Exists(const std::string& hostPath) {
  return GetFileAttributesA(hostPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeWritable(const std::string& hostPath) {
  SetFileAttributesA(hostPath.c_str(), FILE_ATTRIBUTE_NORMAL);
}

void RecordNameTooLong() {
  errno = ENAMETOOLONG;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
}

bool FailsNow(FileOp op) {
  const int error = InjectedFailure(op);
  if (error == 0) return false;
  errno = error;
  SetLastError(error == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
  return true;
}

}  // namespace native
// Each installed file was flushed before its rename, and the rename was
// written through, by the engine (engine/fs_windows.cpp): NTFS keeps no
// dirty data of them that a flush here could still write.
bool MakeDurable(const std::vector<std::string>&) { return true; }

}  // namespace files
