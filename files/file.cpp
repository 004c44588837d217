// What files::File does the same way on every platform.
#include "files/file.h"

namespace files {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

}  // namespace files
