#include "session/stream_hasher.h"

#include <algorithm>
#include <cstring>

namespace session {

StreamHasher::~StreamHasher() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void StreamHasher::Update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  size_ += size;
  while (size > 0) {
    Block& block = blocks_[filling_];
    if (!block.bytes) block.bytes = std::make_unique<std::uint8_t[]>(kBlockSize);
    const std::size_t n = std::min(size, kBlockSize - block.length);
    std::memcpy(block.bytes.get() + block.length, bytes, n);
    block.length += n;
    bytes += n;
    size -= n;
    if (block.length == kBlockSize) HandOver();
  }
}

trust::Digest StreamHasher::Final() {
  Block& last = blocks_[filling_];
  if (handedOver_) {
    if (last.length > 0) HandOver();
    Drain();
    handedOver_ = false;
  } else if (last.length > 0) {
    hasher_.Update(last.bytes.get(), last.length);
    last.length = 0;
  }
  size_ = 0;
  return hasher_.Final();
}

void StreamHasher::HandOver() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  handedOver_ = true;
  {
    std::lock_guard lock(mutex_);
    blocks_[filling_].full = true;
  }
  changed_.notify_all();
  filling_ = (filling_ + 1) % kBlocks;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !blocks_[filling_].full; });
  blocks_[filling_].length = 0;
}

void StreamHasher::Drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] {
    for (const Block& b : blocks_) {
      if (b.full) return false;
    }
    return true;
  });
}

void StreamHasher::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || blocks_[next_].full; });
    if (stop_) return;
    Block& block = blocks_[next_];
    lock.unlock();
    hasher_.Update(block.bytes.get(), block.length);
    lock.lock();
    block.full = false;
    next_ = (next_ + 1) % kBlocks;
    changed_.notify_all();
  }
}

}  // namespace session
