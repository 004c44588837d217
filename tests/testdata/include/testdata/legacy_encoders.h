#pragma once
// Small encoders for the engine's older formats, used to make test and
// benchmark data: .Z (LZW), pack (static Huffman) and LZH (LZ77 + Huffman
// blocks). They favour clarity over speed and compression ratio, and expose
// the knobs the decoder tests need to reach unusual but valid streams.

#include <cstdint>
#include <optional>
#include <vector>

namespace legacy {

using Bytes = std::vector<std::uint8_t>;

// ---- .Z -------------------------------------------------------------------

struct LzwOptions {
  int max_width = 16;       // 9..16 (written into the flags byte)
  bool block_mode = true;   // code 256 clears the table
  int clear_every = 0;      // block mode: emit a clear after this many codes (0: only when full)
  bool clear_when_full = false;  // block mode: clear as soon as the table is full
  std::uint8_t extra_flags = 0;  // OR-ed into the flags byte (reserved bits 0x20, 0x40)
};

/// Compresses DATA into a complete .Z file (magic, flags, codes).
Bytes lzw_encode(const Bytes& data, const LzwOptions& options = {});

/// Writes raw codes the way the decoder reads them: least significant bit
/// first, width changes padded to the end of the current group of eight.
class LzwCodeWriter {
 public:
  explicit LzwCodeWriter(std::uint8_t flags);
  void put(std::uint32_t code);
  /// Skips to the end of the current group and continues at WIDTH.
  void change_width(int width);
  int width() const { return width_; }
  Bytes finish();

 private:
  Bytes out_;
  std::uint64_t bit_ = 0;        // bits written
  std::uint64_t run_start_ = 0;  // bit where the current width began
  int width_ = 9;
};

// ---- pack -----------------------------------------------------------------

/// Compresses DATA into one pack member with Huffman lengths computed from
/// the byte frequencies.
Bytes pack_encode(const Bytes& data);

/// Compresses DATA with the code lengths given per symbol: entries 0..255
/// for the bytes, entry 256 for the end code. Every byte of DATA needs a
/// length; the end code must have the longest one. The lengths are taken as
/// they are, so a caller can write codes that are not complete.
Bytes pack_encode_with_lengths(const Bytes& data, const std::vector<int>& lengths);

/// A pack member header (magic, length, counts, leaf bytes) from raw parts.
Bytes pack_header(std::uint32_t expected_length, const std::vector<int>& sent_counts,
                  const Bytes& leaf_bytes);

// ---- LZH ------------------------------------------------------------------

struct LzhOptions {
  unsigned block_symbols = 16384;  // symbols per block (at most 65,535)
  bool end_marker = true;          // finish with a zero block count
  bool matches = true;             // false: literals only
  unsigned max_distance = 8192;    // farthest match source
  /// Forces the position set's code lengths (14 entries, a complete code
  /// over at least the position classes used).
  std::optional<std::vector<int>> position_lengths;
};

Bytes lzh_encode(const Bytes& data, const LzhOptions& options = {});

/// MSB-first bit writer, used by the LZH encoder and by tests that craft
/// LZH streams by hand.
class MsbBitWriter {
 public:
  void put(std::uint32_t value, int bits);
  Bytes finish();
  Bytes& bytes() { return out_; }

 private:
  Bytes out_;
  std::uint32_t pending_ = 0;
  int pending_bits_ = 0;
};

/// Huffman code lengths for FREQUENCIES, none longer than LIMIT; symbols of
/// frequency 0 get length 0. With fewer than two used symbols the used one
/// (if any) gets length 1 and the result is incomplete.
std::vector<int> huffman_lengths(const std::vector<std::uint64_t>& frequencies, int limit);

// ---- sample data ----------------------------------------------------------

/// Deterministic text-like data (words, punctuation, line breaks).
Bytes sample_text(std::size_t size, std::uint32_t seed = 1);
/// Deterministic binary-like data (records with counters and noise).
Bytes sample_binary(std::size_t size, std::uint32_t seed = 2);
/// SIZE bytes of sample_text and sample_binary in turns of 600,000 and
/// 400,000 bytes: the older-format benchmark's input.
Bytes sample_mixed(std::size_t size);

}  // namespace legacy
