#pragma once
/// The few file-system operations the helpers and the version file need,
/// one implementation per platform (native_file_posix.cpp with open/rename/
/// chmod, native_file_windows.cpp with CreateFileA/MoveFileExA/
/// SetFileAttributesA). Paths are host paths. Failures are reduced to what
/// the helpers decide on; the system's own error value stays set for callers
/// that show it.

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/file.h"

namespace files::native {

using files::File;

enum class Failure {
  None,
  AccessDenied,  ///< permission denied, or a read-only target
  PathNotFound,  ///< a directory on the way is missing
  Other,
};

/// Creates one directory (its parent must exist).
bool MakeDirectory(const std::string& hostPath, Failure& failure);
/// Moves FROM onto TO, replacing a file there.
bool MoveReplacing(const std::string& from, const std::string& to, Failure& failure);
/// The same, and the new name is on the disk when it returns true: the
/// folder is flushed after the rename (POSIX), the rename is written through
/// (Windows). A failing flush of the folder after the rename is not a
/// failure: the move itself has happened.
bool MoveReplacingDurably(const std::string& from, const std::string& to, Failure& failure);
bool Exists(const std::string& hostPath);
/// Resets the attributes to normal (clears read-only, hidden and system);
/// without attributes: makes it writable by its owner. Failure is left to
/// the following retry to discover.
void MakeWritable(const std::string& hostPath);
/// 0, or the error with which operation OP is to fail now instead (a test
/// asks for it through testing/files_testing.h; the product links
/// seam_product.cpp, where none fails).
using files::FileOp;
int InjectedFailure(FileOp op);
/// True when OP is to fail now, with the error it fails with set as errno
/// (and, on Windows, as the thread's last error).
bool FailsNow(FileOp op);

/// Records "name too long" as the last error, for a path refused before
/// the system saw it (errno, and on Windows the thread's last error too).
void RecordNameTooLong();

}  // namespace files::native
