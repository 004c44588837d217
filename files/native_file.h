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

namespace files::native {

enum class Failure {
  None,
  AccessDenied,  ///< permission denied, or a read-only target
  PathNotFound,  ///< a directory on the way is missing
  Other,
};

/// An open file, closed when destroyed.
class File {
 public:
  enum class Mode {
    ReadExisting,    ///< open an existing file; others may read it too
    ReadOrCreate,    ///< the same, creating an empty file when missing
    ReplaceShared,   ///< create or empty it for writing; others may read; a link is not followed
    ReplaceExclusive ///< create or empty it for writing; nobody else may open it meanwhile
  };

  static File Open(const std::string& hostPath, Mode mode);

  File() = default;
  File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  bool IsOpen() const { return handle_ != kClosed; }
  /// Bytes read, 0 at the end, -1 on an error.
  long Read(void* buffer, std::size_t length);
  bool WriteAll(const void* data, std::size_t length);
  /// False when the last writes could not be completed.
  bool Close();

 private:
  static constexpr std::intptr_t kClosed = -1;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kClosed;
};

/// Creates one directory (its parent must exist).
bool MakeDirectory(const std::string& hostPath, Failure& failure);
/// Moves FROM onto TO, replacing a file there.
bool MoveReplacing(const std::string& from, const std::string& to, Failure& failure);
bool Exists(const std::string& hostPath);
/// Resets the attributes to normal (clears read-only, hidden and system);
/// without attributes: makes it writable by its owner. Failure is left to
/// the following retry to discover.
void MakeWritable(const std::string& hostPath);
/// Records "name too long" as the last error, for a path refused before
/// the system saw it (errno, and on Windows the thread's last error too).
void RecordNameTooLong();

}  // namespace files::native
