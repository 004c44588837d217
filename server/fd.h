#pragma once
// The server's one owning type for descriptors: whatever holds a socket, an
// epoll set, an eventfd or a file holds an Fd, so that every way out of a
// constructor, a session or a cache closes what it opened.

#include <unistd.h>

#include <utility>

namespace server {

/// A descriptor closed on destruction; -1 holds none.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Hands the descriptor over; the caller closes it.
  int Release() { return std::exchange(fd_, -1); }
  /// Closes what is held, then holds FD.
  void Reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace server
