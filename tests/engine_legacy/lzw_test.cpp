// The .Z decoder against streams from the test encoder and hand-written
// code sequences.
#include <gtest/gtest.h>

#include "legacy_test_util.h"

namespace {

using legacy::Bytes;
using legacy::LzwCodeWriter;
using legacy::LzwOptions;
using legacy_test::concat;
using legacy_test::decode_file;
using legacy_test::decodes_to;
using legacy_test::fatal_with;

// Text, records and noise: the noise makes codes fast enough to fill even
// the 16-bit table.
Bytes mixed_sample(std::size_t size) {
  Bytes noise;
  std::uint32_t seed = 11;
  for (std::size_t i = 0; i < size / 4; ++i) {
    seed = seed * 1103515245u + 12345u;
    noise.push_back(static_cast<std::uint8_t>(seed >> 16));
  }
  return concat(concat(legacy::sample_text(size / 2, 7), noise),
                legacy::sample_binary(size - size / 2 - size / 4, 8));
}

// Every maximum width with and without block mode, on data large enough to
// fill the table at every width (so the width climbs to its maximum and stays
// there once no entry is added) and to span many input refills.
TEST(LzwDecoder, RoundTripsEveryWidthWithAndWithoutBlockMode) {
  const Bytes data = mixed_sample(300000);
  for (int width = 9; width <= 16; ++width) {
    for (bool block : {true, false}) {
      SCOPED_TRACE("width " + std::to_string(width) + (block ? " block" : " plain"));
      LzwOptions o;
      o.max_width = width;
      o.block_mode = block;
      const Bytes file = legacy::lzw_encode(data, o);
      // At least size / 2 codes of at most 16 bits: more than the 65,280
      // entries a 16-bit table can take.
      ASSERT_GT(file.size(), 2u * 65536);
      EXPECT_TRUE(decodes_to(file, data));
    }
  }
}

// Clear codes reset the width to 9 and skip the rest of their group of
// eight; an odd clear interval puts them in the middle of groups, and at
// every width reached.
TEST(LzwDecoder, ClearCodesInsideGroupsAndWhenTheTableIsFull) {
  const Bytes data = mixed_sample(200000);
  for (int every : {1, 13, 1001, 30001}) {
    SCOPED_TRACE("clear every " + std::to_string(every));
    LzwOptions o;
    o.clear_every = every;
    EXPECT_TRUE(decodes_to(legacy::lzw_encode(data, o), data));
  }
  for (int width : {9, 12, 16}) {
    LzwOptions o;
    o.max_width = width;
    o.clear_when_full = true;
    EXPECT_TRUE(decodes_to(legacy::lzw_encode(data, o), data)) << "width " << width;
  }
}

TEST(LzwDecoder, SmallAndDegenerateInputs) {
  EXPECT_TRUE(decodes_to(legacy::lzw_encode({}), {}));
  EXPECT_TRUE(decodes_to(legacy::lzw_encode({'x'}), {'x'}));
  // A long run makes the encoder name the entry it is about to create over
  // and over (a code equal to the next free entry).
  const Bytes run(100000, 'a');
  EXPECT_TRUE(decodes_to(legacy::lzw_encode(run), run));
  LzwOptions plain;
  plain.block_mode = false;
  EXPECT_TRUE(decodes_to(legacy::lzw_encode(run, plain), run));
}

TEST(LzwDecoder, CodeEqualToNextFreeEntryAndPlainCode256) {
  // Block mode: 'a' 'b' make entry 257 = "ab"; code 258 is the entry being
  // made: the previous string "b" plus its own first byte.
  LzwCodeWriter block(0x90);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 'b', 258u}) block.put(c);
  EXPECT_TRUE(decodes_to(block.finish(), legacy_test::bytes_of("abbb")));

  // Without block mode 256 is the first ordinary entry, here "ab".
  LzwCodeWriter plain(0x10);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 'b', 256u, 257u}) plain.put(c);
  // 256 = "ab", 257 = "b" + "a" = "ba": output a b ab ba
  EXPECT_TRUE(decodes_to(plain.finish(), legacy_test::bytes_of("ababba")));
}

TEST(LzwDecoder, CorruptCodesAreFatal) {
  LzwCodeWriter first_too_big(0x90);
  first_too_big.put(300);
  EXPECT_TRUE(fatal_with(first_too_big.finish(), "corrupt input."));

  LzwCodeWriter first_is_clear(0x90);
  first_is_clear.put(256);
  EXPECT_TRUE(fatal_with(first_is_clear.finish(), "corrupt input."));

  // 'a' 'b' leave 258 as the next free entry; 259 is beyond it. The output
  // gathered so far is written and then removed with the rest.
  LzwCodeWriter beyond(0x90);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 'b', 259u}) beyond.put(c);
  EXPECT_TRUE(fatal_with(beyond.finish(), "corrupt input: code out of range."));
}

// Once the table is full no entry is made, so a code equal to the next free
// entry names an entry that will never exist: corrupt, not a read of a stale
// table entry. A maximum width below 9 never makes entries at all.
TEST(LzwDecoder, CodesNamingEntriesThatNeverExistAreFatal) {
  // Width 9 in block mode: 255 entries (257..511) fill the table; then the
  // width still steps to 10 and 512 is the next free entry.
  Bytes data;
  for (int i = 0; i < 4000; ++i) data.push_back(static_cast<std::uint8_t>(i * 7 % 251));
  LzwOptions o;
  o.max_width = 9;
  Bytes stream = legacy::lzw_encode(data, o);
  ASSERT_TRUE(decodes_to(stream, data));
  // By hand: 256 literals make entries 257..511, the width steps to 10,
  // an existing entry decodes, then 512.
  LzwCodeWriter full(0x89);
  for (int i = 0; i < 256; ++i) full.put(static_cast<std::uint32_t>(i % 200));
  full.change_width(10);
  full.put('a');
  full.put(300);
  full.put(512);
  EXPECT_TRUE(fatal_with(full.finish(), "corrupt input: code out of range."));

  LzwCodeWriter narrow(0x88);  // block mode, maximum width 8
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 'b', 'c'}) narrow.put(c);
  EXPECT_TRUE(decodes_to(narrow.finish(), legacy_test::bytes_of("abc")));
  LzwCodeWriter narrow_bad(0x88);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 'b', 257u, 257u}) narrow_bad.put(c);
  EXPECT_TRUE(fatal_with(narrow_bad.finish(), "corrupt input: code out of range."));
  LzwCodeWriter narrow_plain(0x08);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'a', 256u, 256u}) narrow_plain.put(c);
  EXPECT_TRUE(fatal_with(narrow_plain.finish(), "corrupt input: code out of range."));
}

TEST(LzwDecoder, FlagsByte) {
  const Bytes data = legacy::sample_text(5000);
  for (std::uint8_t reserved : {0x20, 0x40, 0x60}) {
    LzwOptions o;
    o.extra_flags = reserved;
    const auto out = decode_file(legacy::lzw_encode(data, o));
    EXPECT_FALSE(out.run.ended);
    EXPECT_EQ(out.run.result, 2) << "reserved bits are a warning";
    EXPECT_EQ(out.output, legacy_test::as_string(data));
    EXPECT_FALSE(out.input_kept);
  }
  for (int width : {17, 31}) {
    Bytes file = legacy::lzw_encode(data);
    file[2] = static_cast<std::uint8_t>(0x80 | width);
    const auto out = decode_file(file);
    EXPECT_FALSE(out.run.ended);
    EXPECT_EQ(out.run.result, 1);
    EXPECT_NE(out.run.err.find("compressed with " + std::to_string(width) +
                               " bits, can only handle 16 bits"),
              std::string::npos)
        << out.run.err;
    EXPECT_FALSE(out.output_exists);
    EXPECT_TRUE(out.input_kept);
  }
}

TEST(LzwDecoder, EndOfInput) {
  // A clear as the very last code: its group is not padded in the file, so
  // the skip passes the end of the data; decoding ends normally.
  LzwCodeWriter clear_at_end(0x90);
  for (std::uint32_t c : std::initializer_list<std::uint32_t>{'x', 'y', 256u}) clear_at_end.put(c);
  Bytes file = clear_at_end.finish();
  EXPECT_TRUE(decodes_to(file, legacy_test::bytes_of("xy")));

  // Input cut short: every complete code is decoded, nothing is reported.
  const Bytes data = legacy::sample_text(60000);
  Bytes whole = legacy::lzw_encode(data);
  Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
  const auto out = decode_file(cut);
  EXPECT_FALSE(out.run.ended) << out.run.err;
  EXPECT_EQ(out.run.result, 0);
  ASSERT_GT(out.output.size(), 20000u);
  EXPECT_EQ(out.output, legacy_test::as_string(data).substr(0, out.output.size()));
}

}  // namespace
