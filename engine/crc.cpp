// CRC-32 as gzip and PKZIP define it (reflected polynomial 0xEDB88320,
// register preset to all ones and inverted at the end), for the bytes the
// window flush writes: by carry-less multiplication where the processor has
// it, else sixteen bytes at a time through sliced tables. Both give, bit for
// bit, what the byte-at-a-time table loop gives.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ENGINE_CRC_CLMUL 1
#endif

#include "engine_state.h"

namespace engine {

namespace {

/// The register's preset, and what the finished CRC is inverted with.
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

// slice[0] is the classic byte table of the reflected polynomial
// 0xEDB88320. Slice k gives the effect of a byte followed by k zero bytes,
// which lets the loop below fold sixteen input bytes per step; the result
// is bit for bit the byte-at-a-time CRC.
struct CrcTables {
  std::uint32_t slice[16][256];
  constexpr CrcTables() : slice{} {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      slice[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 16; ++k)
        slice[k][i] = (slice[k - 1][i] >> 8) ^ slice[0][slice[k - 1][i] & 0xFF];
  }
};
constexpr CrcTables kCrc;

}  // namespace

#ifdef ENGINE_CRC_CLMUL
namespace {

// CRC-32 by carry-less multiplication, for processors that have it: the
// data is folded 64 bytes at a time into four 128-bit lanes, the lanes into
// one, and the remaining 128 bits are reduced to the 32-bit register with a
// Barrett step. The constants are powers of x modulo the (bit-reflected)
// polynomial: x^(4*128+32) and x^(4*128-32) for the four-lane fold,
// x^(128+32) and x^(128-32) for the one-lane fold, x^64 for 64 to 32 bits,
// then the polynomial itself and floor(x^64 / P) for the reduction.
// Works on the register in its pre-inverted form, like the table loop, and
// handles whole 16-byte blocks (at least 64 bytes); the caller does the rest.
#define ENGINE_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

ENGINE_CLMUL_TARGET inline __m128i load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

/// A times x^k folded onto B: the low half of A times one constant, the
/// high half times the other.
ENGINE_CLMUL_TARGET inline __m128i fold(__m128i a, __m128i k, __m128i b) {
  __m128i lo = _mm_clmulepi64_si128(a, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(a, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), b);
}

ENGINE_CLMUL_TARGET std::uint32_t crc_fold_blocks(
    const std::uint8_t* p, std::size_t blocks16, std::uint32_t reg) {
  const __m128i fold4 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i fold1 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i fold64 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i l0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(reg)));
  __m128i l1 = load(p + 16), l2 = load(p + 32), l3 = load(p + 48);
  p += 64;
  blocks16 -= 4;
  while (blocks16 >= 4) {
    l0 = fold(l0, fold4, load(p));
    l1 = fold(l1, fold4, load(p + 16));
    l2 = fold(l2, fold4, load(p + 32));
    l3 = fold(l3, fold4, load(p + 48));
    p += 64;
    blocks16 -= 4;
  }
  __m128i x = fold(l0, fold1, l1);
  x = fold(x, fold1, l2);
  x = fold(x, fold1, l3);
  while (blocks16 > 0) {
    x = fold(x, fold1, load(p));
    p += 16;
    --blocks16;
  }

  // 128 bits to 64, then to 32 bits with the Barrett reduction.
  __m128i t = _mm_clmulepi64_si128(x, fold1, 0x10);
  x = _mm_xor_si128(_mm_srli_si128(x, 8), t);
  t = _mm_srli_si128(x, 4);
  x = _mm_clmulepi64_si128(_mm_and_si128(x, low32), fold64, 0x00);
  x = _mm_xor_si128(x, t);
  t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  x = _mm_xor_si128(x, t);
  return std::uint32_t(_mm_extract_epi32(x, 1));
}

bool have_clmul() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return have;
}

}  // namespace
#endif

std::uint32_t update_crc(const std::uint8_t* data, std::size_t count) {
  if (data == nullptr) {
    state.crc_register = kAllOnes;
    return 0;
  }
  std::uint32_t c = state.crc_register;
#ifdef ENGINE_CRC_CLMUL
  if (count >= 64 && have_clmul()) {
    std::size_t blocks = count / 16;
    c = crc_fold_blocks(data, blocks, c);
    data += blocks * 16;
    count -= blocks * 16;
  }
#endif
  const auto& t = kCrc.slice;
  while (count >= 16) {
    std::uint32_t a = load_le<std::uint32_t>(data) ^ c;
    std::uint32_t b = load_le<std::uint32_t>(data + 4);
    std::uint32_t d = load_le<std::uint32_t>(data + 8);
    std::uint32_t e = load_le<std::uint32_t>(data + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
    data += 16;
    count -= 16;
  }
  while (count--) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  state.crc_register = c;
  return c ^ kAllOnes;
}

}  // namespace engine
