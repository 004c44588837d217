#pragma once
/// An open file of the game folder or the temporary directory, with the few
/// ways the program opens one. Whatever the mode, only a regular file is
/// opened: a folder, a pipe or a device under the name is refused (errno
/// EINVAL) without waiting for anything.

#include <cstddef>
#include <cstdint>
#include <string>

namespace files {

/// The operations on files that a test can make fail (files_testable).
enum class FileOp { Open, Write, Close, Move };

/// An open file, closed when destroyed.
class File {
 public:
  enum class Mode {
    ReadExisting,    ///< open an existing file; others may read it too
    ReadOrCreate,    ///< the same, creating an empty file when missing
    ReplaceShared,     ///< create or empty it for writing; others may read; a link there is refused
    ReplaceExclusive,  ///< the same, and nobody else may open it meanwhile
    ReplaceName,       ///< a new file in place of the file or link standing at the name, which is
                       ///< never written through (nor another name of the same file)
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
  /// Puts what was written on the disk (fsync, FlushFileBuffers); false
  /// when that fails.
  bool Sync();
  /// False when the last writes could not be completed.
  bool Close();

 private:
  static constexpr std::intptr_t kClosed = -1;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kClosed;
};

}  // namespace files
