#pragma once
/// The file a notice page or a file body is written to while it arrives: the
/// open file, its name (for messages) and the bytes still to come. Pieces go
/// to the disk through a buffer of one disk block, as they arrive; the file
/// is closed when it is finished or when this goes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/file.h"

namespace session {

class ReceivedFile {
 public:
  ReceivedFile() = default;
  /// Opens NAME (a program name, backslashes allowed) for LENGTH bytes to
  /// come; isOpen() is false when it cannot be made.
  ReceivedFile(std::string name, std::int64_t length);
  /// A file given up before its end keeps what had arrived.
  ReceivedFile& operator=(ReceivedFile&& other) noexcept;
  ReceivedFile(const ReceivedFile&) = delete;
  ~ReceivedFile() { Finish(); }

  bool isOpen() const { return file_.IsOpen(); }
  const std::string& name() const { return name_; }
  std::int64_t remaining() const { return remaining_; }

  /// Writes N bytes (at most remaining()); false when they could not all be written.
  bool Write(const std::uint8_t* data, std::size_t n);
  /// Writes what is buffered and closes the file; false when any write or
  /// the close failed.
  bool Finish();

 private:
  bool Flush();

  static constexpr std::size_t kBlock = 4096;
  files::File file_;
  std::string name_;
  std::int64_t remaining_ = 0;
  std::uint8_t block_[kBlock];
  std::size_t held_ = 0;
  bool failed_ = false;
};

}  // namespace session
