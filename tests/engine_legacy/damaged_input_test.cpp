// Damaged streams of all three formats: whatever the damage, the engine
// either finishes or ends as a fatal data error with its output removed and
// the input kept. Run under the asan preset this also checks that no damage
// makes a decoder read or write outside its buffers.
#include <gtest/gtest.h>

#include "legacy_test_util.h"

namespace {

using legacy::Bytes;

void damage_and_decode(const Bytes& original, std::uint32_t seed) {
  for (int round = 0; round < 60; ++round) {
    Bytes file = original;
    const int edits = 1 + round % 4;
    for (int e = 0; e < edits; ++e) {
      seed = seed * 1103515245u + 12345u;
      // Keep the magic number so the damage reaches the decoder.
      const std::size_t at = 2 + (seed >> 8) % (file.size() - 2);
      seed = seed * 1103515245u + 12345u;
      file[at] ^= static_cast<std::uint8_t>(1 + (seed >> 16) % 255);
    }
    if (round % 5 == 4) file.resize(2 + (seed >> 4) % (file.size() - 2));
    const auto out = legacy_test::decode_file(file);
    SCOPED_TRACE("round " + std::to_string(round));
    if (out.run.ended) {
      EXPECT_EQ(out.run.status, 1);
      EXPECT_FALSE(out.output_exists);
      EXPECT_TRUE(out.input_kept);
    } else if (out.run.result == 1) {
      EXPECT_FALSE(out.output_exists);
    } else {
      EXPECT_TRUE(out.output_exists);
    }
  }
}

TEST(DamagedLegacyInput, EndsCleanlyOrDecodes) {
  const Bytes text = legacy::sample_text(20000, 31);
  damage_and_decode(legacy::lzw_encode(text), 1);
  legacy::LzwOptions plain;
  plain.block_mode = false;
  plain.max_width = 12;
  damage_and_decode(legacy::lzw_encode(text, plain), 2);
  damage_and_decode(legacy::pack_encode(text), 3);
  damage_and_decode(legacy::lzh_encode(text), 4);
  legacy::LzhOptions blocks;
  blocks.block_symbols = 500;
  damage_and_decode(legacy::lzh_encode(text, blocks), 5);
}

}  // namespace
