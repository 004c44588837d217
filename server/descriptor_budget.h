#pragma once
// How many more descriptors the serving loop may hold. Session sockets, the
// stored file a session sends from, cached stored files and assembled answers
// all come out of one count taken from the process limit, so that a full
// process shows as sessions waiting in the listen queue, never as an open
// that fails halfway through an answer.

#include <cstddef>

namespace server {

class DescriptorBudget {
 public:
  /// What the process may still open: its descriptor limit less what it
  /// holds now and less SPARE, kept for short-lived descriptors (reading a
  /// new state of the store).
  static std::size_t Available(std::size_t spare);

  explicit DescriptorBudget(std::size_t total) : free_(total) {}
  DescriptorBudget(const DescriptorBudget&) = delete;
  DescriptorBudget& operator=(const DescriptorBudget&) = delete;

  /// Takes N when at least N + KEEP are free; KEEP leaves room for what
  /// matters more (new sessions before cached files).
  bool Take(std::size_t n, std::size_t keep = 0) {
    if (free_ < n + keep) return false;
    free_ -= n;
    return true;
  }
  void Give(std::size_t n) { free_ += n; }
  std::size_t free() const { return free_; }

 private:
  std::size_t free_;
};

}  // namespace server
