// The threaded hash of a received body must equal the hash of the body in
// one piece, whatever the sizes around the hand-over blocks and the pieces.

#include <gtest/gtest.h>

#include <string>

#include "session/stream_hasher.h"
#include "trust/hash.h"

namespace {

constexpr std::size_t kBlock = 256 * 1024;  // the hasher's hand-over block

std::string Body(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 977) & 0xFF);
  return s;
}

TEST(StreamHasher, EachBodyHashesAsAWhole) {
  const std::size_t sizes[] = {0, 1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock, 4 * kBlock + 7, 5 << 20};
  const std::size_t pieces[] = {2048, 4093, kBlock + 3};
  for (const std::size_t piece : pieces) {
    session::StreamHasher hasher;  // one hasher over every body in turn, as a session uses it
    unsigned seed = 0;
    for (const std::size_t size : sizes) {
      const std::string body = Body(size, ++seed);
      for (std::size_t at = 0; at < size; at += piece)
        hasher.Update(body.data() + at, std::min(piece, size - at));
      EXPECT_EQ(hasher.size(), size);
      EXPECT_EQ(trust::DigestToHex(hasher.Final()), trust::DigestToHex(trust::HashBytes(body)))
          << size << " bytes in pieces of " << piece;
      EXPECT_EQ(hasher.size(), 0u);
    }
  }
}

}  // namespace
