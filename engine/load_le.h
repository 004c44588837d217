#pragma once
// The one little-endian loader of the engine: header fields, CRC words and
// the decoders' bit-buffer refills all read their bytes through it.

#include <cstdint>
#include <cstring>

namespace engine {

/// The unsigned little-endian number in the sizeof(T) bytes at P, which
/// need not be aligned.
template <class T>
inline T load_le(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  if constexpr (sizeof(T) == 2) value = T(__builtin_bswap16(value));
  if constexpr (sizeof(T) == 4) value = T(__builtin_bswap32(value));
  if constexpr (sizeof(T) == 8) value = T(__builtin_bswap64(value));
#endif
  return value;
}

}  // namespace engine
