// The LZH decoder against streams from the test encoder and hand-written
// block headers.
#include <gtest/gtest.h>

#include "legacy_test_util.h"

namespace {

using legacy::Bytes;
using legacy::LzhOptions;
using legacy::MsbBitWriter;
using legacy_test::concat;
using legacy_test::decode_file;
using legacy_test::decodes_to;
using legacy_test::fatal_with;

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    out.push_back(static_cast<std::uint8_t>(seed >> 16));
  }
  return out;
}

MsbBitWriter lzh_stream() {
  MsbBitWriter w;
  w.bytes() = {0x1F, 0xA0};
  return w;
}

TEST(LzhDecoder, RoundTrips) {
  const Bytes text = legacy::sample_text(200000);
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(text), text));
  LzhOptions small_blocks;
  small_blocks.block_symbols = 3000;
  small_blocks.end_marker = false;  // the stream simply ends: zero bits read as count 0
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(text, small_blocks), text));
  const Bytes binary = legacy::sample_binary(120000);
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(binary), binary));
  LzhOptions literals;
  literals.matches = false;
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(binary, literals), binary));
  const Bytes noise = random_bytes(30000, 9);
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(noise), noise));
  EXPECT_TRUE(decodes_to(legacy::lzh_encode({}), {}));
  EXPECT_TRUE(decodes_to({0x1F, 0xA0}, {}));
}

// Output goes out in 8 KiB chunks; a match that does not fit into one
// continues at the start of the next, and later matches read back across
// the chunk border.
TEST(LzhDecoder, MatchesAcrossChunkBorders) {
  Bytes data = random_bytes(8100, 3);
  data.insert(data.end(), data.begin(), data.begin() + 400);  // 8100..8500, source 8,100 back
  const Bytes more = random_bytes(9000, 4);
  data.insert(data.end(), more.begin(), more.end());
  data.insert(data.end(), data.begin() + 12000, data.begin() + 12000 + 5000);
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(data), data));
  // Maximal matches of one repeated byte, thousands of them over many chunks.
  const Bytes run(100000, 'r');
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(run), run));
}

TEST(LzhDecoder, SingleSymbolForms) {
  // Literals only, one value: the literal/length set is a single symbol and
  // the block produces it as often as its count says, reading no code bits.
  LzhOptions literals;
  literals.matches = false;
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(Bytes(1000, 'x'), literals), Bytes(1000, 'x')));

  // By hand: count 5, every set in the single-symbol form, literal 'q'.
  MsbBitWriter w = lzh_stream();
  w.put(5, 16);
  w.put(0, 5), w.put(0, 5);     // length-code set: only symbol 0
  w.put(0, 9), w.put('q', 9);   // literal/length set: only 'q'
  w.put(0, 4), w.put(3, 4);     // position set: only 3
  w.put(0, 16);
  EXPECT_TRUE(decodes_to(w.finish(), Bytes(5, 'q')));
}

// Short-set lengths: 0-6 in 3 bits, 7 as 1110, 8 as 11110. A position set
// with lengths 1..8 (and 8 twice) must be read exactly for anything after it
// to decode.
TEST(LzhDecoder, ShortSetLengthForms) {
  Bytes data = random_bytes(200, 5);
  for (int i = 0; i < 60000; ++i) {
    data.push_back(i % 50 == 0 ? static_cast<std::uint8_t>(i * 31) : data[data.size() - 200]);
  }
  LzhOptions o;
  o.max_distance = 256;  // positions stay within classes 0..8
  o.position_lengths = std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 8, 0, 0, 0, 0, 0};
  EXPECT_TRUE(decodes_to(legacy::lzh_encode(data, o), data));
}

/// A block header written bit by bit (most significant first), after the
/// magic: pairs of (value, width).
struct BadTableCase {
  std::string name;
  std::vector<std::pair<std::uint32_t, int>> bits;
};

void PrintTo(const BadTableCase& c, std::ostream* os) { *os << c.name; }

class LzhBadTables : public testing::TestWithParam<BadTableCase> {};

TEST_P(LzhBadTables, AreFatal) {
  MsbBitWriter w = lzh_stream();
  for (auto [value, width] : GetParam().bits) w.put(value, width);
  w.put(0, 32);
  EXPECT_TRUE(fatal_with(w.finish(), "Bad table"));
}

std::vector<std::pair<std::uint32_t, int>> length_count_20() {
  // Lengths 1, 1 and zeros: complete over the 19 symbols of the set, but
  // one length more than the set has.
  std::vector<std::pair<std::uint32_t, int>> bits = {{5, 16}, {20, 5}, {1, 3}, {1, 3}, {0, 3}, {3, 2}};
  for (int i = 6; i < 20; ++i) bits.push_back({0, 3});
  return bits;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, LzhBadTables,
    testing::Values(
        BadTableCase{"LengthCodeCountAboveTheSet", length_count_20()},
        // 111, ten 1 bits, 0: length 17, beside two lengths of 1.
        BadTableCase{"EscapedLength17", {{5, 16}, {3, 5}, {1, 3}, {1, 3}, {(1u << 14) - 2, 14}, {0, 2}}},
        BadTableCase{"SingleLengthCodeSymbol19", {{5, 16}, {0, 5}, {19, 5}}},
        BadTableCase{"SingleLiteralLengthSymbol510", {{5, 16}, {0, 5}, {0, 5}, {0, 9}, {510, 9}}},
        BadTableCase{"SinglePositionSymbol14",
                     {{5, 16}, {0, 5}, {0, 5}, {0, 9}, {'a', 9}, {0, 4}, {14, 4}}},
        BadTableCase{"IncompleteOneCodeOfLength1", {{5, 16}, {2, 5}, {1, 3}, {0, 3}}},
        BadTableCase{"OverfullThreeCodesOfLength1", {{5, 16}, {3, 5}, {1, 3}, {1, 3}, {1, 3}, {0, 2}}}),
    [](const testing::TestParamInfo<BadTableCase>& info) { return info.param.name; });

TEST(LzhDecoder, EarlyEndAndTrailingBytes) {
  // Input ending inside a block is no error: zero bits are read until the
  // block's count runs out, then the next count reads as 0.
  const Bytes text = legacy::sample_text(100000);
  const Bytes whole = legacy::lzh_encode(text);
  const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() * 6 / 10));
  const auto out = decode_file(cut);
  EXPECT_FALSE(out.run.ended) << out.run.err;
  EXPECT_EQ(out.run.result, 0);
  ASSERT_GT(out.output.size(), 50000u);
  EXPECT_EQ(out.output.substr(0, 50000), legacy_test::as_string(text).substr(0, 50000));

  // An LZH member is the last of its file: bytes after it are not examined.
  EXPECT_TRUE(decodes_to(concat(whole, {0x1F, 0x8B, 0, 1, 2, 3}), text));
}

// A match that reaches back before the first byte of the file reads zeros,
// not what an earlier file left in the window.
TEST(LzhDecoder, MatchBeforeTheStartReadsZeros) {
  ASSERT_TRUE(decodes_to(legacy::lzh_encode(Bytes(20000, 'x')), Bytes(20000, 'x')));
  MsbBitWriter w = lzh_stream();
  w.put(1, 16);
  w.put(0, 5), w.put(0, 5);    // length-code set: only symbol 0
  w.put(0, 9), w.put(256, 9);  // only symbol 256: a match of 3 bytes
  w.put(0, 4), w.put(1, 4);    // only position class 1: distance 2
  w.put(0, 16);
  EXPECT_TRUE(decodes_to(w.finish(), Bytes(3, 0)));
}

}  // namespace
