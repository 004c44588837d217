// The pack decoder against members from the test encoder and hand-made
// headers.
#include <gtest/gtest.h>
#include <zlib.h>

#include "legacy_test_util.h"

namespace {

using legacy::Bytes;
using legacy::MsbBitWriter;
using legacy_test::concat;
using legacy_test::decode_file;
using legacy_test::decodes_to;
using legacy_test::fatal_with;

Bytes gzip_member(const Bytes& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, data.size()) + 32);
  z.next_in = const_cast<Bytes::value_type*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(PackDecoder, RoundTrips) {
  const Bytes text = legacy::sample_text(150000);
  EXPECT_TRUE(decodes_to(legacy::pack_encode(text), text));
  const Bytes binary = legacy::sample_binary(100000);
  EXPECT_TRUE(decodes_to(legacy::pack_encode(binary), binary));
  // Every byte value: 256 leaves plus the end code (255 sent).
  Bytes all;
  for (int r = 0; r < 3; ++r)
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
  EXPECT_TRUE(decodes_to(legacy::pack_encode(all), all));
  EXPECT_TRUE(decodes_to(legacy::pack_encode(Bytes(70000, 'z')), Bytes(70000, 'z')));
  EXPECT_TRUE(decodes_to(legacy::pack_encode({}), {}));
}

// A code of one leaf at each length 1..24 and two at 25 (the last being the
// end code): the longest length allowed, with codes far beyond the peek.
TEST(PackDecoder, LongestLength25IsAccepted26IsFatal) {
  std::vector<int> lengths(257, 0);
  Bytes data;
  for (int i = 0; i < 25; ++i) {
    lengths['a' + i] = std::min(i + 1, 25);
    for (int r = 0; r <= i % 3; ++r) data.push_back(static_cast<std::uint8_t>('a' + i));
  }
  lengths[256] = 25;
  EXPECT_TRUE(decodes_to(legacy::pack_encode_with_lengths(data, lengths), data));

  // Skewed frequencies give a Huffman code between the peek width and 25.
  Bytes skewed;
  for (int b = 0; b < 20; ++b) skewed.insert(skewed.end(), std::size_t{1} << (b % 18), static_cast<std::uint8_t>(b));
  EXPECT_TRUE(decodes_to(legacy::pack_encode(skewed), skewed));

  Bytes too_long = legacy::pack_header(1, std::vector<int>(26, 0), {'a', 'b'});
  EXPECT_TRUE(fatal_with(too_long, "invalid compressed data -- Huffman code > 32 bits"));
}

// Sent counts totalling 256 are within the limit, and then 257 leaf bytes
// follow (one value twice). 254 leaves of 8 bits and 4 of 9 bits fill the
// code space; at 9 bits the leaves are 254, 255, 255 again and the end code.
TEST(PackDecoder, LeafCountsOfExactly256) {
  std::vector<int> sent(9, 0);
  sent[7] = 254;
  sent[8] = 2;
  Bytes leaves;
  for (int b = 0; b < 256; ++b) leaves.push_back(static_cast<std::uint8_t>(b));
  leaves.push_back(255);
  Bytes expected;
  MsbBitWriter w;
  for (int b = 0; b < 254; ++b) {
    w.put(2u + b, 8);  // two parents take the values 0 and 1 at 8 bits
    expected.push_back(static_cast<std::uint8_t>(b));
  }
  for (std::uint32_t code : {0u, 1u, 2u}) w.put(code, 9);
  expected.insert(expected.end(), {254, 255, 255});
  w.put(3, 9);  // end code
  const Bytes file = concat(legacy::pack_header(static_cast<std::uint32_t>(expected.size()), sent, leaves), w.finish());
  EXPECT_TRUE(decodes_to(file, expected));

  sent[8] = 3;  // 257
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(1, sent, leaves), {0, 0, 0, 0}),
                         "too many leaves in Huffman tree"));
}

// Counts that do not describe a complete prefix code are refused before any
// table is filled or any leaf index is formed.
TEST(PackDecoder, IncompleteOrOverfullCodesAreFatal) {
  const Bytes body(16, 0xAA);
  // Over-full: two 1-bit leaves and four 2-bit leaves.
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(3, {2, 2}, {'a', 'b', 'c', 'd', 'e'}), body),
                         "too many leaves in Huffman tree"));
  // Over-full with many short codes: more 1-bit leaves than the peek table
  // has room for.
  std::vector<int> many_short(13, 0);
  many_short[0] = 3;
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(3, many_short, {'a', 'b', 'c', 'd'}), body),
                         "too many leaves in Huffman tree"));
  // Incomplete: one 2-bit leaf and two 3-bit leaves cover half the space.
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(3, {0, 1, 0}, {'a', 'b'}), body),
                         "too few leaves in Huffman tree"));
  // Incomplete at the longest length only (an odd number of leaves there).
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(3, {1, 0, 1}, {'a', 'b', 'c'}), body),
                         "too few leaves in Huffman tree"));
  // No lengths at all.
  EXPECT_TRUE(fatal_with(concat(legacy::pack_header(3, {}, {}), body), "too few leaves in Huffman tree"));
}

TEST(PackDecoder, LengthMismatchAndTruncationAreFatal) {
  const Bytes data = legacy::sample_text(40000);
  Bytes file = legacy::pack_encode(data);
  Bytes wrong_length = file;
  wrong_length[5] ^= 1;
  EXPECT_TRUE(fatal_with(wrong_length, "invalid compressed data--length error"));
  Bytes cut(file.begin(), file.end() - 100);
  EXPECT_TRUE(fatal_with(cut, "unexpected end of file"));
  Bytes header_only(file.begin(), file.begin() + 8);
  EXPECT_TRUE(fatal_with(header_only, "unexpected end of file"));
}

// Pack members may follow one another, and gzip members may follow them;
// each member's length is checked on its own.
TEST(PackDecoder, FollowingMembers) {
  const Bytes a = legacy::sample_text(50000, 3), b = legacy::sample_binary(40000, 4);
  const Bytes c = legacy::sample_text(30000, 5);
  EXPECT_TRUE(decodes_to(concat(legacy::pack_encode(a), legacy::pack_encode(b)), concat(a, b)));
  EXPECT_TRUE(decodes_to(concat(concat(legacy::pack_encode(a), legacy::pack_encode(b)), gzip_member(c)),
                         concat(concat(a, b), c)));
  EXPECT_TRUE(decodes_to(concat(gzip_member(c), legacy::pack_encode(a)), concat(c, a)));
  // A .Z member after a pack member ends the file: it is decoded, and what
  // follows it is part of its code stream.
  EXPECT_TRUE(decodes_to(concat(legacy::pack_encode(a), legacy::lzw_encode(b)), concat(a, b)));
}

}  // namespace
