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

const Bytes& sample_300k() {
  static const Bytes data = mixed_sample(300000);
  return data;
}

// ---- streams from the encoder ------------------------------------------------

struct EncoderCase {
  std::string name;
  LzwOptions options;
};

void PrintTo(const EncoderCase& c, std::ostream* os) { *os << c.name; }

class LzwRoundTrip : public testing::TestWithParam<EncoderCase> {};

// Data large enough to fill the table at every width (so the width climbs to
// its maximum and stays there once no entry is added) and to span many
// input refills.
TEST_P(LzwRoundTrip, DecodesWhatTheEncoderWrote) {
  const Bytes file = legacy::lzw_encode(sample_300k(), GetParam().options);
  EXPECT_TRUE(decodes_to(file, sample_300k()));
}

std::vector<EncoderCase> encoder_cases() {
  std::vector<EncoderCase> cases;
  // Every maximum width, with and without block mode.
  for (int width = 9; width <= 16; ++width) {
    for (bool block : {true, false}) {
      LzwOptions o;
      o.max_width = width;
      o.block_mode = block;
      cases.push_back({"Width" + std::to_string(width) + (block ? "Block" : "Plain"), o});
    }
  }
  // Clear codes reset the width to 9 and skip the rest of their group of
  // eight; an odd interval puts them in the middle of groups, at every width.
  for (int every : {1, 13, 1001, 30001}) {
    LzwOptions o;
    o.clear_every = every;
    cases.push_back({"ClearEvery" + std::to_string(every), o});
  }
  for (int width : {9, 12, 16}) {
    LzwOptions o;
    o.max_width = width;
    o.clear_when_full = true;
    cases.push_back({"ClearWhenFullWidth" + std::to_string(width), o});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Options, LzwRoundTrip, testing::ValuesIn(encoder_cases()),
                         [](const testing::TestParamInfo<EncoderCase>& info) { return info.param.name; });

TEST(LzwDecoder, SmallAndDegenerateInputs) {
  EXPECT_TRUE(decodes_to(legacy::lzw_encode({}), {}));
  EXPECT_TRUE(decodes_to(legacy::lzw_encode({'x'}), {'x'}));
  // A long run makes the encoder name the entry it is about to create over
  // and over (a code equal to the next free entry), and builds strings far
  // longer than the 16 KiB output staging.
  const Bytes run(100000, 'a');
  EXPECT_TRUE(decodes_to(legacy::lzw_encode(run), run));
  LzwOptions plain;
  plain.block_mode = false;
  EXPECT_TRUE(decodes_to(legacy::lzw_encode(run, plain), run));
  const Bytes long_run(3000000, 'b');
  EXPECT_TRUE(decodes_to(legacy::lzw_encode(long_run), long_run));
}

// ---- hand-written code sequences -------------------------------------------------

/// In a code list: continue at this width (after padding the group).
constexpr std::uint32_t kWidth = 0x10000;

struct CodesCase {
  std::string name;
  std::uint8_t flags;
  std::vector<std::uint32_t> codes;
  std::string output;  // what the file decodes to, or
  std::string fatal;   // the message of the fatal error it ends with
};

void PrintTo(const CodesCase& c, std::ostream* os) { *os << c.name; }

class LzwCodes : public testing::TestWithParam<CodesCase> {};

TEST_P(LzwCodes, DecodeOrEndTheEngine) {
  const CodesCase& c = GetParam();
  LzwCodeWriter writer(c.flags);
  for (std::uint32_t code : c.codes) {
    if (code >= kWidth) {
      writer.change_width(int(code - kWidth));
    } else {
      writer.put(code);
    }
  }
  if (c.fatal.empty()) {
    EXPECT_TRUE(decodes_to(writer.finish(), legacy_test::bytes_of(c.output)));
  } else {
    EXPECT_TRUE(fatal_with(writer.finish(), c.fatal));
  }
}

/// Width 9 in block mode: 256 literals make entries 257..511 and fill the
/// table; the width still steps to 10, and 512 is the next free entry.
std::vector<std::uint32_t> full_width9_table() {
  std::vector<std::uint32_t> codes;
  for (std::uint32_t i = 0; i < 256; ++i) codes.push_back(i % 200);
  codes.push_back(kWidth + 10);
  codes.push_back('a');
  codes.push_back(300);  // entry 300: literals 43 and 44
  return codes;
}

std::string full_width9_output() {
  std::string out;
  for (int i = 0; i < 256; ++i) out.push_back(char(i % 200));
  return out + "a" + "\x2b\x2c";
}

template <class... More>
std::vector<std::uint32_t> with(std::vector<std::uint32_t> codes, More... more) {
  (codes.push_back(more), ...);
  return codes;
}

const char kOutOfRange[] = "corrupt input: code out of range.";

INSTANTIATE_TEST_SUITE_P(
    Sequences, LzwCodes,
    testing::Values(
        // 'a' 'b' make entry 257 = "ab"; 258 is the entry being made: the
        // previous string "b" plus its own first byte.
        CodesCase{"CodeEqualToTheNextFreeEntry", 0x90, {'a', 'b', 258}, "abbb", ""},
        // Without block mode 256 is the first ordinary entry ("ab"), 257 = "ba".
        CodesCase{"PlainModeCode256IsAString", 0x10, {'a', 'b', 256, 257}, "ababba", ""},
        CodesCase{"FirstCodeAboveAByte", 0x90, {300}, "", "corrupt input."},
        CodesCase{"FirstCodeIsAClear", 0x90, {256}, "", "corrupt input."},
        CodesCase{"CodeBeyondTheNextFreeEntry", 0x90, {'a', 'b', 259}, "", kOutOfRange},
        // A full table: the first code equal to the next free entry is the
        // previous string followed by its first byte; no entry is made, so
        // the same code again would have to read an entry never made.
        CodesCase{"FullTableNextFreeEntryOnce", 0x89, with(full_width9_table(), 512),
                  full_width9_output() + "\x2b\x2c\x2b", ""},
        CodesCase{"FullTableNextFreeEntryTwice", 0x89, with(full_width9_table(), 512, 512), "",
                  kOutOfRange},
        CodesCase{"FullTableExistingEntryAfterIt", 0x89, with(full_width9_table(), 512, 300),
                  full_width9_output() + "\x2b\x2c\x2b\x2b\x2c", ""},
        // Maximum widths below 9 never make an entry at all.
        CodesCase{"Width8BlockLiteralsOnly", 0x88, {'a', 'b', 'c'}, "abc", ""},
        CodesCase{"Width8BlockNextFreeEntryOnce", 0x88, {'a', 'b', 257}, "abbb", ""},
        CodesCase{"Width8BlockNextFreeEntryTwice", 0x88, {'a', 'b', 257, 257}, "", kOutOfRange},
        CodesCase{"Width8PlainNextFreeEntryOnce", 0x08, {'a', 256}, "aaa", ""},
        CodesCase{"Width8PlainNextFreeEntryTwice", 0x08, {'a', 256, 256}, "", kOutOfRange},
        // A clear as the very last code: its group is not padded in the
        // file, so the skip passes the end of the data; decoding ends
        // normally.
        CodesCase{"ClearAsTheLastCode", 0x90, {'x', 'y', 256}, "xy", ""}),
    [](const testing::TestParamInfo<CodesCase>& info) { return info.param.name; });

// ---- the flags byte ---------------------------------------------------------------

struct FlagsCase {
  std::string name;
  std::uint8_t flags;  // the header's flags byte, for data written at 16 bits
  int result;
  std::string message;
};

void PrintTo(const FlagsCase& c, std::ostream* os) { *os << c.name; }

class LzwFlags : public testing::TestWithParam<FlagsCase> {};

TEST_P(LzwFlags, WarnOrRefuse) {
  const FlagsCase& c = GetParam();
  const Bytes data = legacy::sample_text(5000);
  Bytes file = legacy::lzw_encode(data);
  file[2] = c.flags;
  const auto out = decode_file(file);
  EXPECT_FALSE(out.run.ended) << out.run.err;
  EXPECT_EQ(out.run.result, c.result);
  EXPECT_EQ(out.run.err, c.message);
  if (c.result == 2) {
    EXPECT_EQ(out.output, legacy_test::as_string(data)) << "a warning keeps the output";
    EXPECT_FALSE(out.input_kept);
  } else {
    EXPECT_FALSE(out.output_exists);
    EXPECT_TRUE(out.input_kept);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Header, LzwFlags,
    testing::Values(FlagsCase{"Reserved20", 0x90 | 0x20, 2, ""},
                    FlagsCase{"Reserved40", 0x90 | 0x40, 2, ""},
                    FlagsCase{"Reserved60", 0x90 | 0x60, 2, ""},
                    FlagsCase{"Width17", 0x80 | 17, 1,
                              "\ndecompress: data.gz: compressed with 17 bits, can only handle 16 bits\n"},
                    FlagsCase{"Width31", 0x80 | 31, 1,
                              "\ndecompress: data.gz: compressed with 31 bits, can only handle 16 bits\n"}),
    [](const testing::TestParamInfo<FlagsCase>& info) { return info.param.name; });

TEST(LzwDecoder, InputCutShortDecodesEveryCompleteCode) {
  // Every complete code is decoded, nothing is reported.
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
