#pragma once
// Sessions per peer address, so that the connections of one address cannot
// take every session of the server.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace server {

class AddressCounts {
 public:
  /// CAP sessions at most per address; 0: no cap.
  explicit AddressCounts(std::size_t cap) : cap_(cap) {}

  /// Counts one more session of ADDRESS; false (and nothing counted) when it already holds the cap.
  bool Add(std::uint32_t address) {
    if (cap_ == 0) return true;
    std::uint32_t& count = counts_[address];
    if (count >= cap_) return false;
    ++count;
    return true;
  }
  /// Ends one session counted by Add.
  void Remove(std::uint32_t address) {
    if (cap_ == 0) return;
    const auto at = counts_.find(address);
    if (at != counts_.end() && --at->second == 0) counts_.erase(at);
  }

 private:
  std::size_t cap_;
  std::unordered_map<std::uint32_t, std::uint32_t> counts_;
};

}  // namespace server
