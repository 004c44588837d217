#pragma once
/// The BLAKE2b-256 of each file body a keyed session receives, computed beside
/// the receiving thread. Pieces are copied into large blocks that a hashing
/// thread of the session's own takes in turn, so the thread that receives
/// pays a copy instead of the hash: hashing runs about as fast as a loopback
/// download, and done inline it would halve the session's speed. A body that
/// ends within its first block is hashed inline, so that many small files
/// never wait for the other thread.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "trust/hash.h"

namespace session {

class StreamHasher {
 public:
  StreamHasher() = default;
  ~StreamHasher();
  StreamHasher(const StreamHasher&) = delete;
  StreamHasher& operator=(const StreamHasher&) = delete;

  /// Adds SIZE bytes at DATA to the current body.
  void Update(const void* data, std::size_t size);
  /// The digest of the current body; the next Update starts another.
  trust::Digest Final();
  /// Bytes of the current body so far.
  std::uint64_t size() const { return size_; }

 private:
  /// 256 KiB: a hand-over costs a lock and perhaps a wake-up, a tenth of a
  /// microsecond per KiB at most; three blocks keep both threads busy.
  static constexpr std::size_t kBlockSize = 256 * 1024;
  static constexpr int kBlocks = 3;

  /// Hands the block being filled to the hashing thread and waits until the
  /// next one is free.
  void HandOver();
  /// Waits until the hashing thread has taken in every block handed over.
  void Drain();
  void Run();

  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t length = 0;
    bool full = false;  // handed over, not yet hashed
  };

  std::uint64_t size_ = 0;
  int filling_ = 0;          // the block the receiving thread fills
  bool handedOver_ = false;  // the current body has a block on the other thread
  // Between hand-overs only one thread touches hasher_: the hashing thread
  // while a block is full, the receiving thread once Drain returned.
  trust::Hasher hasher_;
  std::array<Block, kBlocks> blocks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int next_ = 0;  // the next block the hashing thread takes
  bool stop_ = false;
  std::thread thread_;  // started with the first hand-over
};

}  // namespace session
