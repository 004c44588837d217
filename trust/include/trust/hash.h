#pragma once
/// The content hash of the release manifest: BLAKE2b with a 32-byte digest,
/// unkeyed (libsodium's crypto_generichash), fed in pieces as bytes arrive.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trust {

constexpr std::size_t kDigestSize = 32;
using Digest = std::array<std::uint8_t, kDigestSize>;

/// A streaming BLAKE2b-256: Update any number of times, then Final once.
class Hasher {
 public:
  Hasher();
  Hasher(const Hasher&) = default;
  Hasher& operator=(const Hasher&) = default;

  void Update(const void* data, std::size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  /// The digest of everything given; the hasher starts over afterwards.
  Digest Final();
  /// Bytes given since construction or the last Final.
  std::uint64_t size() const { return size_; }

 private:
  // Holds a crypto_generichash_state (384 bytes, 64-byte aligned) without
  // bringing sodium.h into every consumer.
  alignas(64) unsigned char state_[384];
  std::uint64_t size_ = 0;
};

/// The digest of BYTES in one go.
Digest HashBytes(std::string_view bytes);

/// 64 lower-case hex digits.
std::string DigestToHex(const Digest& digest);
/// Exactly 64 lower-case hex digits; false otherwise.
bool DigestFromHex(std::string_view hex, Digest& digest);

}  // namespace trust
