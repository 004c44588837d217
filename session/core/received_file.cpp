#include "session/received_file.h"

#include <cstring>
#include <utility>

#include "files/file_helpers.h"

namespace session {

ReceivedFile::ReceivedFile(std::string name, std::int64_t length)
    : file_(files::OpenForWriteWithRetry(name)), name_(std::move(name)), remaining_(length) {}

ReceivedFile& ReceivedFile::operator=(ReceivedFile&& other) noexcept {
  if (this != &other) {
    Finish();
    file_ = std::move(other.file_);
    name_ = std::move(other.name_);
    remaining_ = other.remaining_;
    std::memcpy(block_, other.block_, other.held_);
    held_ = other.held_;
    failed_ = other.failed_;
    other.held_ = 0;
  }
  return *this;
}

bool ReceivedFile::Write(const std::uint8_t* data, std::size_t n) {
  remaining_ -= static_cast<std::int64_t>(n);
  if (held_ + n > kBlock) {
    if (!Flush()) return false;
    if (n >= kBlock) {
      failed_ = failed_ || !file_.WriteAll(data, n);
      return !failed_;
    }
  }
  std::memcpy(block_ + held_, data, n);
  held_ += n;
  return !failed_;
}

bool ReceivedFile::Flush() {
  if (held_ > 0 && !failed_) failed_ = !file_.WriteAll(block_, held_);
  held_ = 0;
  return !failed_;
}

bool ReceivedFile::Finish() {
  if (!file_.IsOpen()) return !failed_;
  const bool flushed = Flush();
  return file_.Close() && flushed;
}

}  // namespace session
