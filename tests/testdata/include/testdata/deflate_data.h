#pragma once
/// Deflate test data: raw deflate made by zlib, gzip and PKZIP containers put
/// together by hand (so every header field can be chosen), a bit writer for
/// deflate blocks that zlib would never produce, and a model of the engine's
/// circular output window to predict what such blocks decode to.

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testdata {

/// Raw deflate of DATA (no wrapper) at LEVEL with STRATEGY.
std::string zlib_deflate(const std::string& data, int level = 6, int strategy = Z_DEFAULT_STRATEGY);

/// CRC-32 of DATA, by zlib.
std::uint32_t crc_of(const std::string& data);

void put_le16(std::string& s, std::uint32_t v);
void put_le32(std::string& s, std::uint32_t v);

struct GzipHeader {
  int magic2 = 0x8B;
  int method = 8;
  int flags = 0;
  std::uint32_t mtime = 0;
  std::string extra, name, comment;
};

std::string gzip_header(const GzipHeader& h);

/// One gzip member holding DEFLATED, whose uncompressed form is PLAIN.
std::string gzip_member(const std::string& plain, const std::string& deflated, const GzipHeader& h = {});

/// One gzip member of PLAIN deflated by zlib at LEVEL (0: stored blocks alone).
std::string gzip_of(const std::string& plain, int level = 6, const GzipHeader& h = {});

/// Every member of a gzip STREAM decompressed by zlib, one after the other;
/// "<damaged gzip stream>" when one does not decode to its end.
std::string gunzip_members(const std::string& stream);

/// A single-entry PKZIP local header + data (+ descriptor when flag bit 3).
std::string zip_entry(const std::string& plain, int method, int flags = 0, const std::string& name = "x.txt",
                      const std::string& extra = "");

/// Text-like bytes: words with a skewed choice, so that deflate finds many
/// matches and dynamic blocks are worth it.
std::string text_data(std::size_t n, unsigned seed = 1);
/// Uniformly random bytes.
std::string noise_data(std::size_t n, unsigned seed = 1);
/// Mostly runs and short repeats: many overlapping copies at distances 1 to 7.
std::string runs_data(std::size_t n, unsigned seed = 1);
/// TOTAL bytes of text-like data (made-up words, punctuation, numbers, line
/// breaks) and binary-like records (counters, small integers, floats, noise)
/// in alternating chunks of 1 to 4 MiB: the benchmarks' input.
std::string mixed_data(std::size_t total);
/// BYTES of the text-like and of the binary-like kind of mixed_data, appended to OUT.
void append_text(std::string& out, std::size_t bytes, std::mt19937& rng);
void append_binary(std::string& out, std::size_t bytes, std::mt19937& rng);

/// Writes deflate bits least significant first; Huffman codes go in with
/// their first bit first.
class BitWriter {
 public:
  void bits(std::uint32_t value, unsigned count);
  void code(std::uint32_t code, unsigned length);
  void align();
  void byte(std::uint8_t b) { bits(b, 8); }
  std::string finish();

 private:
  void push(unsigned bit);
  std::string out_;
  unsigned cur_ = 0, nbits_ = 0;
};

/// Canonical deflate codes for a set of lengths (0 = symbol absent).
std::vector<std::uint32_t> canonical_codes(const std::vector<int>& lengths);

/// Fixed-code symbols, for hand-made blocks.
class FixedCoder {
 public:
  FixedCoder();
  void literal(BitWriter& w, unsigned symbol) const;
  void end(BitWriter& w) const { literal(w, 256); }
  /// A match; LENGTH 3..258, DISTANCE 1..32768.
  void match(BitWriter& w, unsigned length, unsigned distance) const;

 private:
  std::vector<int> lengths_;
  std::vector<std::uint32_t> codes_;
};

/// Reference model of the engine's output window: 32 KiB, circular, kept
/// between members and files. Gives the bytes a match produces.
struct WindowModel {
  std::vector<std::uint8_t> win = std::vector<std::uint8_t>(32768, 0);
  unsigned pos = 0;
  std::string out;
  void put(std::uint8_t b);
  void copy(unsigned length, unsigned distance);
  /// The engine's write position restarts at 0 with every member.
  void new_member();
};

}  // namespace testdata
