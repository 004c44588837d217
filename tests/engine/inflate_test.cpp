// Inflate through the whole engine, in-process: zlib's output at every level
// and strategy, hand-made blocks for the cases zlib never writes, and the
// invalid streams that must end the engine.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;

/// Decompresses GZ as "t.gz" in a fresh directory; returns the run and the
/// output (empty when there is none).
struct Outcome {
  EngineRun run;
  std::string output;
  bool output_exists = false;
  bool input_exists = false;
};

Outcome decompress_bytes(const std::string& gz, const std::string& name = "t.gz",
                         const std::string& out_name = "t") {
  TempDir dir;
  write_file(name, gz);
  Outcome o;
  o.run = run_engine(name);
  o.output_exists = std::filesystem::exists(out_name);
  o.input_exists = std::filesystem::exists(name);
  if (o.output_exists) o.output = read_file(out_name);
  return o;
}

void expect_fatal(const Outcome& o, const std::string& message) {
  EXPECT_TRUE(o.run.ended) << "engine returned " << o.run.result << "; stderr: " << o.run.err;
  EXPECT_EQ(o.run.status, 1);
  EXPECT_FALSE(o.output_exists) << "half-written output must be removed";
  EXPECT_TRUE(o.input_exists) << "input must be kept";
  EXPECT_NE(o.run.err.find(message), std::string::npos) << o.run.err;
}

std::string fixed_block_stream(const std::function<void(BitWriter&, FixedCoder&)>& body) {
  BitWriter w;
  FixedCoder f;
  w.bits(1, 1);  // final
  w.bits(1, 2);  // fixed codes
  body(w, f);
  return w.finish();
}

TEST(Inflate, ZlibOutputAtEveryLevelAndStrategyRoundTrips) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  // Sizes around the 32 KiB window and input buffer boundaries.
  const std::size_t sizes[] = {0, 1, 257, 32767, 32768, 32769, 65536 + 300, 150001};
  int cases = 0;
  for (int kind = 0; kind < 3; ++kind) {
    for (std::size_t size : sizes) {
      std::string plain = kind == 0   ? text_data(size, unsigned(size))
                          : kind == 1 ? noise_data(size, unsigned(size))
                                      : runs_data(size, unsigned(size));
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : strategies) {
          if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;
          if (size > 40000 && (level % 3) != 0) continue;  // keep the suite quick
          Outcome o = decompress_bytes(gzip_of(plain, level));
          ASSERT_EQ(o.run.result, 0) << "kind " << kind << " size " << size << " level " << level
                                     << " strategy " << strategy << ": " << o.run.err;
          ASSERT_EQ(o.output.size(), plain.size());
          ASSERT_TRUE(o.output == plain)
              << "kind " << kind << " size " << size << " level " << level << " strategy " << strategy;
          EXPECT_FALSE(o.input_exists);
          ++cases;
        }
      }
    }
  }
  EXPECT_GT(cases, 300);
}

TEST(Inflate, StoredBlocksOfLengthZeroAndAcrossTheWindowEnd) {
  // Stored blocks written by hand: an empty one, then one of 40000 bytes
  // that crosses the 32 KiB flush, then a final one of 3 bytes.
  std::string plain = noise_data(40003, 5);
  BitWriter w;
  auto stored = [&](bool final, const std::string& bytes) {
    w.bits(final, 1);
    w.bits(0, 2);
    w.align();
    w.bits(std::uint32_t(bytes.size()), 16);
    w.bits(~std::uint32_t(bytes.size()) & 0xFFFF, 16);
    for (char c : bytes) w.byte(std::uint8_t(c));
  };
  // A stored block cannot hold more than 65535 bytes; two suffice here.
  stored(false, "");
  stored(false, plain.substr(0, 40000));
  stored(true, plain.substr(40000));
  Outcome o = decompress_bytes(gzip_member(plain, w.finish()));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == plain);
}

TEST(Inflate, MatchesRepeatRecentBytesAndReachBackFullWindow) {
  // Distance 1 with length 258, short overlapping distances, and a
  // distance of exactly 32768 after more than a window of output.
  WindowModel model;
  std::string data = fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    std::mt19937 rng(3);
    for (int i = 0; i < 40000; ++i) {
      unsigned b = rng() % 256;
      f.literal(w, b);
      model.put(std::uint8_t(b));
    }
    const unsigned matches[][2] = {{258, 1},     {100, 3},   {17, 7},      {9, 8},  {40, 15},
                                   {258, 32768}, {3, 32767}, {258, 32761}, {30, 16}};
    for (auto& m : matches) {
      f.match(w, m[0], m[1]);
      model.copy(m[0], m[1]);
      f.literal(w, 'q');
      model.put('q');
    }
    // Enough input after the matches that they are decoded on the fast path.
    for (int i = 0; i < 64; ++i) {
      f.literal(w, 'z');
      model.put('z');
    }
    f.end(w);
  });
  Outcome o = decompress_bytes(gzip_member(model.out, data));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == model.out);
}

TEST(Inflate, RandomMatchesAgreeWithAByteByByteWindow) {
  // Every copy path (short periods, overlapping, wrapping, near the window
  // end) against the plain circular-window model.
  WindowModel model;
  std::mt19937 rng(11);
  std::string data = fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    for (int i = 0; i < 33000; ++i) {
      unsigned b = rng() % 256;
      f.literal(w, b);
      model.put(std::uint8_t(b));
    }
    for (int i = 0; i < 6000; ++i) {
      unsigned r = rng() % 10;
      if (r < 3) {
        unsigned b = rng() % 256;
        f.literal(w, b);
        model.put(std::uint8_t(b));
        continue;
      }
      unsigned length = 3 + rng() % 256;
      unsigned reach = std::min<unsigned>(32768, unsigned(model.out.size()));
      // Short periods, anything in reach, and the far end of the window
      // (the bytes a block copy writes past its end must be put back).
      unsigned distance = r < 6   ? 1 + rng() % 20
                          : r < 8 ? 1 + rng() % reach
                                  : reach - rng() % std::min(reach, 16u);
      f.match(w, length, distance);
      model.copy(length, distance);
    }
    for (int i = 0; i < 64; ++i) {
      f.literal(w, 'z');
      model.put('z');
    }
    f.end(w);
  });
  Outcome o = decompress_bytes(gzip_member(model.out, data));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  ASSERT_EQ(o.output.size(), model.out.size());
  EXPECT_TRUE(o.output == model.out);
}

TEST(Inflate, LaterMemberReadsThePreviousMembersWindow) {
  // The write position restarts at 0 with every member while the window
  // keeps its bytes: a match at the start of member two reads what member
  // one left at the window's end.
  WindowModel model;
  std::string first = fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    for (int i = 0; i < 40000; ++i) {
      unsigned b = (i * 7 + i / 300) % 251;
      f.literal(w, b);
      model.put(std::uint8_t(b));
    }
    f.end(w);
  });
  std::string first_plain = model.out;
  model.new_member();
  std::string second = fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    f.match(w, 10, 1);  // repeats window byte 32767 ten times
    model.copy(10, 1);
    f.match(w, 258, 5000);  // reaches into member one's bytes
    model.copy(258, 5000);
    f.end(w);
  });
  std::string gz = gzip_member(first_plain, first) + gzip_member(model.out, second);
  Outcome o = decompress_bytes(gz);
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == first_plain + model.out);
  EXPECT_EQ(model.out[0], first_plain[32767]);
}

/// Writes a dynamic block header for the given literal/length and distance
/// lengths, sending the code lengths with CL_LENGTHS (19 entries, in symbol
/// order) and the symbol sequence CL_SYMBOLS (symbol, extra value pairs).
struct DynamicHeader {
  unsigned hlit, hdist, hclen;
  std::vector<int> cl_lengths;
  std::vector<std::pair<int, int>> cl_symbols;
};

void write_dynamic_header(BitWriter& w, const DynamicHeader& h, bool final = true) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.bits(final, 1);
  w.bits(2, 2);
  w.bits(h.hlit - 257, 5);
  w.bits(h.hdist - 1, 5);
  w.bits(h.hclen - 4, 4);
  for (unsigned i = 0; i < h.hclen; ++i) w.bits(std::uint32_t(h.cl_lengths[order[i]]), 3);
  auto codes = canonical_codes(h.cl_lengths);
  for (auto [sym, extra] : h.cl_symbols) {
    w.code(codes[sym], unsigned(h.cl_lengths[sym]));
    if (sym == 16) w.bits(std::uint32_t(extra), 2);
    if (sym == 17) w.bits(std::uint32_t(extra), 3);
    if (sym == 18) w.bits(std::uint32_t(extra), 7);
  }
}

/// Code-length code where symbols 0..18 that appear get length 5 (a
/// complete code needs 32 of them; incomplete is fine for the tests that
/// fail before it matters, so use 4-bit codes for 16 symbols instead).
std::vector<int> cl_lengths_4bit() {
  std::vector<int> l(19, 0);
  for (int s : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 17, 18}) l[s] = 4;
  return l;
}

/// Lengths for a small but complete literal/length code: 'a', 'b', 256 and
/// length symbol 257, two bits each; and the given distance lengths.
DynamicHeader small_code(std::vector<int> distance_lengths) {
  DynamicHeader h{257, unsigned(distance_lengths.size()), 19, cl_lengths_4bit(), {}};
  std::vector<int> all(257, 0);
  all['a'] = 2;
  all['b'] = 2;
  all[256] = 2;
  // Symbol 257 would make the list 258 long; send 258 codes.
  all.push_back(2);
  h.hlit = 258;
  for (int d : distance_lengths) all.push_back(d);
  for (int v : all) h.cl_symbols.push_back({v, 0});
  return h;
}

TEST(Inflate, DynamicBlockWithOneDistanceCodeOfLengthOneDecodes) {
  DynamicHeader h = small_code({1});
  std::vector<int> lit(258, 0);
  lit['a'] = lit['b'] = lit[256] = lit[257] = 2;
  auto codes = canonical_codes(lit);
  BitWriter w;
  write_dynamic_header(w, h);
  w.code(codes['a'], 2);
  w.code(codes['b'], 2);
  w.code(codes[257], 2);  // length 3
  w.code(0, 1);           // distance code 0: distance 1
  w.code(codes[256], 2);
  Outcome o = decompress_bytes(gzip_member("abbbb", w.finish()));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_EQ(o.output, "abbbb");
}

TEST(Inflate, LiteralsNeedNoDistanceCode) {
  // All distance lengths zero: literals decode (a length code then is
  // invalid data, see the malformed streams below).
  DynamicHeader h = small_code({0});
  std::vector<int> lit(258, 0);
  lit['a'] = lit['b'] = lit[256] = lit[257] = 2;
  auto codes = canonical_codes(lit);
  BitWriter w;
  write_dynamic_header(w, h);
  w.code(codes['a'], 2);
  w.code(codes[256], 2);
  Outcome o = decompress_bytes(gzip_member("a", w.finish()));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_EQ(o.output, "a");
}

/// Literal/length code: 'a' 1 bit, 255 and 256 2 bits. Code 16 as the very
/// first code repeats length 0; the 16 after symbol 255 repeats its length
/// five times, over 256 and into the HDIST distance lengths.
DynamicHeader repeat_into_distances(unsigned hdist) {
  DynamicHeader h{257, hdist, 19, cl_lengths_4bit(), {}};
  h.cl_symbols = {{16, 0},             // symbols 0..2: zero
                  {18, 83},            // 3..96: zero
                  {1, 0},              // 'a'
                  {18, 127}, {18, 8},  // 98..254: zero
                  {2, 0},              // 255
                  {16, 2}};            // 256 and the distance lengths: 2
  return h;
}

TEST(Inflate, RepeatCodeFirstRepeatsZeroAndRepeatsCrossIntoDistances) {
  BitWriter w;
  write_dynamic_header(w, repeat_into_distances(4));  // 4 distance codes of 2 bits: complete
  w.code(0, 1);                                       // 'a'
  w.code(0, 1);                                       // 'a'
  w.code(2, 2);                                       // 255
  w.code(3, 2);                                       // end of block
  Outcome o = decompress_bytes(gzip_member("aa\xff", w.finish()));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_EQ(o.output, "aa\xff");
}

// ---- malformed streams -------------------------------------------------------------

/// A malformed deflate stream, the check that must refuse it, and what the
/// engine prints before its fatal message (nothing when NOTE is empty).
struct MalformedStream {
  const char* name;
  std::string deflate;
  engine::InflateResult reason;
  std::string note;
};

void PrintTo(const MalformedStream& m, std::ostream* os) { *os << m.name; }

/// A dynamic block header and zero bits behind it.
std::string header_stream(const DynamicHeader& h) {
  BitWriter w;
  write_dynamic_header(w, h);
  w.bits(0, 32);
  return w.finish();
}

std::string stored_without_complement() {
  BitWriter w;
  w.bits(1, 1);
  w.bits(0, 2);
  w.align();
  w.bits(5, 16);
  w.bits(5, 16);  // should be 0xFFFA
  for (int i = 0; i < 5; ++i) w.byte('x');
  return w.finish();
}

std::string reserved_block_type() {
  BitWriter w;
  w.bits(1, 1);
  w.bits(3, 2);
  return w.finish();
}

std::string fixed_literal(unsigned symbol) {
  return fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    f.literal(w, 'a');
    f.literal(w, symbol);
    f.end(w);
  });
}

std::string fixed_distance(unsigned distance_code) {
  return fixed_block_stream([&](BitWriter& w, FixedCoder& f) {
    f.literal(w, 'a');
    f.literal(w, 257);  // length 3
    w.code(distance_code, 5);
    f.end(w);
  });
}

/// A length code in a block whose distance code is empty.
std::string length_without_distance_code() {
  std::vector<int> lit(258, 0);
  lit['a'] = lit['b'] = lit[256] = lit[257] = 2;
  auto codes = canonical_codes(lit);
  BitWriter w;
  write_dynamic_header(w, small_code({0}));
  w.code(codes['a'], 2);
  w.code(codes[257], 2);
  w.bits(0, 16);
  return w.finish();
}

/// Only symbol 8 has a code (length 1, code 0); bit 1 selects the empty slot.
std::string code_length_code_empty_slot() {
  DynamicHeader h{257, 1, 19, std::vector<int>(19, 0), {}};
  h.cl_lengths[8] = 1;
  BitWriter w;
  write_dynamic_header(w, h);
  w.bits(0, 10);  // a few valid lengths of 8
  w.bits(1, 1);   // the empty slot
  w.bits(0, 32);
  return w.finish();
}

/// The code-length code: the given symbols at length LENGTH, the rest absent.
DynamicHeader code_length_code(std::initializer_list<int> symbols, int length) {
  DynamicHeader h{257, 1, 19, std::vector<int>(19, 0), {}};
  for (int s : symbols) h.cl_lengths[std::size_t(s)] = length;
  return h;
}

/// Literal/length lengths (258 codes: 'a', 'b', 256, 257 as given) and one
/// distance length, through the 4-bit code-length code.
DynamicHeader literal_code(int a, int b, int end, int length_257, int distance) {
  DynamicHeader h{258, 1, 19, cl_lengths_4bit(), {}};
  std::vector<int> all(258, 0);
  all['a'] = a;
  all['b'] = b;
  all[256] = end;
  all[257] = length_257;
  all.push_back(distance);
  for (int v : all) h.cl_symbols.push_back({v, 0});
  return h;
}

std::vector<MalformedStream> malformed_streams() {
  using R = engine::InflateResult;
  return {
      {"StoredLengthWithoutItsComplement", stored_without_complement(), R::StoredLengthMismatch, ""},
      {"ReservedBlockType", reserved_block_type(), R::ReservedBlockType, ""},
      {"FixedLiteral286", fixed_literal(286), R::InvalidLiteralCode, ""},
      {"FixedLiteral287", fixed_literal(287), R::InvalidLiteralCode, ""},
      {"FixedDistance30", fixed_distance(30), R::InvalidDistanceCode, ""},
      {"FixedDistance31", fixed_distance(31), R::InvalidDistanceCode, ""},
      {"LengthWithoutDistanceCode", length_without_distance_code(), R::InvalidDistanceCode, ""},
      {"CodeLengthCodeEmptySlot", code_length_code_empty_slot(), R::InvalidCodeLengthSymbol, ""},
      {"LiteralCodes287", header_stream({287, 1, 4, cl_lengths_4bit(), {}}), R::TooManyLiteralCodes, ""},
      {"LiteralCodes288", header_stream({288, 1, 4, cl_lengths_4bit(), {}}), R::TooManyLiteralCodes, ""},
      {"DistanceCodes31", header_stream({257, 31, 4, cl_lengths_4bit(), {}}), R::TooManyDistanceCodes, ""},
      {"DistanceCodes32", header_stream({257, 32, 4, cl_lengths_4bit(), {}}), R::TooManyDistanceCodes, ""},
      // 257 + 1 lengths declared; the runs give 287.
      {"ZeroRunPastTheTotal", header_stream({257, 1, 19, cl_lengths_4bit(), {{18, 127}, {18, 127}, {18, 0}}}),
       R::RepeatPastEnd, ""},
      // 257 + 3 lengths declared; the last repeat gives one more.
      {"RepeatOnePastTheTotal", header_stream(repeat_into_distances(3)), R::RepeatPastEnd, ""},
      {"OversubscribedCodeLengthCode", header_stream(code_length_code({0, 1, 2}, 1)),
       R::OversubscribedCodeLengthCode, ""},
      {"IncompleteCodeLengthCode", header_stream(code_length_code({0, 8}, 2)), R::IncompleteCodeLengthCode,
       ""},
      {"OversubscribedLiteralCode", header_stream(literal_code(1, 1, 1, 0, 1)), R::OversubscribedLiteralCode,
       ""},
      // 'a' and 256 at length 2 leave half the space.
      {"IncompleteLiteralCode", header_stream(literal_code(2, 0, 2, 0, 1)), R::IncompleteLiteralCode,
       " incomplete literal tree\n"},
      {"OversubscribedDistanceCode", header_stream(small_code({1, 1, 1})), R::OversubscribedDistanceCode, ""},
      // Two distance codes of length 2 (not a lone code of length 1).
      {"IncompleteDistanceCode", header_stream(small_code({2, 2})), R::IncompleteDistanceCode,
       " incomplete distance tree\n"},
  };
}

class Malformed : public testing::TestWithParam<MalformedStream> {};

// Each stream ends the engine with the one fatal message (after its note),
// output removed and input kept, and it is the row's own check that fired:
// a later check refusing the same stream does not pass for it.
TEST_P(Malformed, EndsTheEngineForItsOwnReason) {
  const MalformedStream& m = GetParam();
  engine::state.inflate_result = engine::InflateResult::Ok;
  Outcome o = decompress_bytes(gzip_member("", m.deflate + std::string(16, '\0')));
  expect_fatal(o, "invalid compressed data--format violated");
  EXPECT_EQ(o.run.err, m.note + "\ndecompress: t.gz: invalid compressed data--format violated\n");
  EXPECT_EQ(int(engine::state.inflate_result), int(m.reason)) << "a check other than the row's fired";
}

INSTANTIATE_TEST_SUITE_P(Streams, Malformed, testing::ValuesIn(malformed_streams()),
                         [](const testing::TestParamInfo<MalformedStream>& info) {
                           return std::string(info.param.name);
                         });

TEST(Inflate, TrailerStartsAtTheByteAfterTheDeflateData) {
  // Data of many sizes ends at every bit position of its last byte; a
  // second member right behind must be found each time.
  for (std::size_t n = 1; n < 200; n += 7) {
    std::string a = text_data(n, unsigned(n)), b = noise_data(n % 13 + 1, unsigned(n));
    Outcome o = decompress_bytes(gzip_of(a, 9) + gzip_of(b, 1));
    ASSERT_EQ(o.run.result, 0) << n << ": " << o.run.err;
    ASSERT_TRUE(o.output == a + b) << n;
  }
}

/// Where a step of the fast loop meets the window's end: OFFSET moves the
/// output against the window, SHIFT moves the loop's steps against the
/// output (matches of 227 bytes early on).
struct WindowEndCase {
  int offset, shift;
};

void PrintTo(const WindowEndCase& c, std::ostream* os) { *os << c.offset << "/" << c.shift; }

class WindowEnd : public testing::TestWithParam<WindowEndCase> {};

// A run of literals and a 258-byte match decoded in one step can pass the
// window's end; the window must still be flushed there, and the bytes of
// the step that lie past it must be where the circular window has them. A
// match whose source then wraps around the window's end reads them back, so
// a missed flush or a misplaced byte gives other bytes than the model.
// Dynamic code with every literal at 9 bits, so that several literals and a
// match share one step of the fast loop.
TEST_P(WindowEnd, StepsAcrossItKeepEveryByte) {
  const WindowEndCase& c = GetParam();
  std::vector<int> lit(286, 0);
  for (int i = 0; i < 256; ++i) lit[i] = 9;
  lit[256] = 2;
  lit[284] = 3;
  lit[285] = 3;  // length 258
  auto codes = canonical_codes(lit);
  // Distance codes 19 (769..1024) and 16 (257..384), one bit each.
  DynamicHeader h{286, 20, 19, std::vector<int>(19, 0), {}};
  h.cl_lengths[9] = 2;
  h.cl_lengths[0] = 2;
  h.cl_lengths[2] = 2;
  h.cl_lengths[1] = 3;
  h.cl_lengths[3] = 3;
  for (int v : lit) h.cl_symbols.push_back({v, 0});
  for (int d = 0; d < 16; ++d) h.cl_symbols.push_back({0, 0});
  h.cl_symbols.push_back({1, 0});  // distance code 16
  h.cl_symbols.push_back({0, 0});
  h.cl_symbols.push_back({0, 0});
  h.cl_symbols.push_back({1, 0});  // distance code 19
  WindowModel model;
  std::mt19937 rng{unsigned(c.offset * 7 + c.shift)};
  BitWriter w;
  write_dynamic_header(w, h);
  auto literal = [&](unsigned b) {
    w.code(codes[b], 9);
    model.put(std::uint8_t(b));
  };
  // LENGTH 227 or 258; DISTANCE 257..384 (code 16) or 769..1024 (code 19).
  auto match = [&](unsigned length, unsigned distance) {
    w.code(codes[length == 258 ? 285 : 284], 3);
    if (length != 258) w.bits(length - 227, 5);
    bool near = distance <= 384;
    w.code(near ? 0 : 1, 1);
    w.bits(distance - (near ? 257 : 769), 7 + !near);
    model.copy(length, distance);
  };
  for (int i = 0; i < 1100; ++i) literal(rng() % 256);
  for (int i = 0; i < c.shift; ++i) match(227, 1000);
  while (model.out.size() < std::size_t(32500 + c.offset)) literal(rng() % 256);
  for (int round = 0; round < 3; ++round) {
    literal('a');
    literal('b');
    match(258, 1000);
  }
  // Sources that wrap around the window's end, over the bytes just written
  // across it; the first starts before the end and runs on past it.
  match(258, 769);
  match(258, 900);
  match(258, 300);
  match(250, 1000);
  for (int i = 0; i < 40000; ++i) literal(rng() % 256);
  w.code(codes[256], 2);
  Outcome o = decompress_bytes(gzip_member(model.out, w.finish()));
  ASSERT_EQ(o.run.result, 0) << o.run.err;
  ASSERT_TRUE(o.output == model.out);
}

std::vector<WindowEndCase> window_end_cases() {
  std::vector<WindowEndCase> cases;
  for (int shift = 0; shift < 3; ++shift)
    for (int offset = 0; offset < 12; ++offset) cases.push_back({offset, shift});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(FastLoop, WindowEnd, testing::ValuesIn(window_end_cases()),
                         [](const testing::TestParamInfo<WindowEndCase>& info) {
                           return "Offset" + std::to_string(info.param.offset) + "Shift" +
                                  std::to_string(info.param.shift);
                         });

}  // namespace
