#include "trust/hash.h"

#include <sodium.h>

#include <new>

#include "sodium_support.h"

namespace trust {

namespace {

static_assert(sizeof(crypto_generichash_state) <= 384);
static_assert(alignof(crypto_generichash_state) <= 64);
static_assert(kDigestSize == crypto_generichash_BYTES);

}  // namespace

Hasher::Hasher() {
  // Without sodium_init, libsodium runs BLAKE2b's portable code instead of
  // the one picked for this processor.
  detail::EnsureSodium();
  crypto_generichash_init(new (state_) crypto_generichash_state, nullptr, 0, kDigestSize);
}

void Hasher::Update(const void* data, std::size_t size) {
  crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_),
                            static_cast<const unsigned char*>(data), size);
  size_ += size;
}

Digest Hasher::Final() {
  auto* state = reinterpret_cast<crypto_generichash_state*>(state_);
  Digest digest{};
  crypto_generichash_final(state, digest.data(), digest.size());
  crypto_generichash_init(state, nullptr, 0, kDigestSize);
  size_ = 0;
  return digest;
}

Digest HashBytes(std::string_view bytes) {
  detail::EnsureSodium();
  Digest digest{};
  crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size(), nullptr, 0);
  return digest;
}

std::string DigestToHex(const Digest& digest) {
  std::string hex(2 * digest.size() + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  hex.pop_back();
  return hex;
}

bool DigestFromHex(std::string_view hex, Digest& digest) {
  if (hex.size() != 2 * digest.size()) return false;
  for (const char c : hex)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  std::size_t decoded = 0;
  return sodium_hex2bin(digest.data(), digest.size(), hex.data(), hex.size(), nullptr, &decoded, nullptr) ==
             0 &&
         decoded == digest.size();
}

}  // namespace trust
