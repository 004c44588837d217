// The pack decoder: one static Huffman code per member, described by the
// number of leaves at each code length (1 to 25) followed by the leaf bytes,
// codes read most significant bit first, an explicit end code, and the
// expected decoded length for a final check.
//
// The code is canonical in a particular way: at every length the parent
// nodes take the lowest code values and the leaves the values above them, so
// a code of `length` bits is a leaf exactly when its value is at least the
// number of parents at that length. Codes of up to 12 bits are resolved with
// one look-up in a peek table (in output_buffer) that maps the next bits to
// the code's length; longer codes are found by lengthening the peek until it
// reaches the leaves.
#include "engine_state.h"

namespace engine {
namespace {

constexpr int kMostPeekBits = 12;

/// The two ways a code description can fail to describe a complete code.
constexpr const char* kTooManyLeaves = "too many leaves in Huffman tree";
constexpr const char* kTooFewLeaves = "too few leaves in Huffman tree";

// The member state is state.pack (engine_state.h).
PackState& pack = state.pack;

void read_pack_tree() {
  pack.expected_length = 0;
  for (int i = 0; i < 4; ++i) {
    pack.expected_length = pack.expected_length << 8 | static_cast<std::uint32_t>(next_input_byte());
  }
  pack.longest = next_input_byte();
  if (pack.longest > kPackLongestCode) report_error("invalid compressed data -- Huffman code > 32 bits");
  // A code needs at least the end code and one leaf: no lengths at all can
  // describe neither.
  if (pack.longest == 0) report_error(kTooFewLeaves);

  int total = 0;
  for (int length = 1; length <= pack.longest; ++length) {
    pack.leaf_count[length] = next_input_byte();
    total += pack.leaf_count[length];
  }
  if (total > kPackMostLeaves) report_error(kTooManyLeaves);

  // The count of the longest length is sent two short: one leaf byte more
  // than it says follows, and the end code, which has no byte, is not in it.
  ++pack.leaf_count[pack.longest];
  int base = 0;
  for (int length = 1; length <= pack.longest; ++length) {
    pack.literal_base[length] = base;
    for (int n = pack.leaf_count[length]; n > 0; --n) {
      pack.leaf_bytes[base++] = static_cast<std::uint8_t>(next_input_byte());
    }
  }
  ++pack.leaf_count[pack.longest];
}

void build_pack_prefix_table() {
  // The leaves must describe a complete prefix code: their code space
  // (2^(L - length) units for each leaf) must fill 2^L exactly. An
  // over-full set would spill over the peek table; an incomplete one lets a
  // code fall outside the leaf bytes or run past the longest length.
  std::uint64_t space = 0;
  for (int length = 1; length <= pack.longest; ++length) {
    space += static_cast<std::uint64_t>(pack.leaf_count[length]) << (pack.longest - length);
  }
  const std::uint64_t full = std::uint64_t{1} << pack.longest;
  if (space > full) report_error(kTooManyLeaves);
  if (space < full) report_error(kTooFewLeaves);

  int nodes = 0;
  for (int length = pack.longest; length >= 1; --length) {
    nodes /= 2;
    pack.parent_count[length] = nodes;
    pack.literal_base[length] -= nodes;
    nodes += pack.leaf_count[length];
  }

  // The shortest codes have the highest values, so the peek table is filled
  // from its top end down; what remains at the bottom belongs to codes
  // longer than the peek.
  pack.peek_bits = pack.longest < kMostPeekBits ? pack.longest : kMostPeekBits;
  std::uint8_t* entry = state.output_buffer + (std::size_t{1} << pack.peek_bits);
  for (int length = 1; length <= pack.peek_bits; ++length) {
    for (int n = pack.leaf_count[length] << (pack.peek_bits - length); n > 0; --n) {
      *--entry = static_cast<std::uint8_t>(length);
    }
  }
  while (entry > state.output_buffer) *--entry = 0;
}

}  // namespace

int decode_pack(fs::Handle, fs::Handle) {
  read_pack_tree();
  build_pack_prefix_table();

  const std::uint8_t* const peek_table = state.output_buffer;
  const int peek = pack.peek_bits;
  const std::uint32_t peek_mask = (1u << peek) - 1;
  const int end_code = pack.leaf_count[pack.longest] - 1;
  std::uint32_t bits = 0;
  int valid = 0;

  for (;;) {
    while (valid < peek) {
      bits = bits << 8 | static_cast<std::uint32_t>(next_input_byte());
      valid += 8;
    }
    std::uint32_t code = (bits >> (valid - peek)) & peek_mask;
    int length = peek_table[code];
    if (length != 0) {
      code >>= peek - length;
    } else {
      // A complete code guarantees a leaf by the longest length, where
      // there are no parents.
      length = peek;
      do {
        ++length;
        while (valid < length) {
          bits = bits << 8 | static_cast<std::uint32_t>(next_input_byte());
          valid += 8;
        }
        code = (bits >> (valid - length)) & ((1u << length) - 1);
      } while (code < static_cast<std::uint32_t>(pack.parent_count[length]));
    }
    if (length == pack.longest && static_cast<int>(code) == end_code) break;
    state.sliding_window[state.output_count++] =
        pack.leaf_bytes[static_cast<int>(code) + pack.literal_base[length]];
    if (state.output_count == kWindowSize) flush_sliding_window();
    valid -= length;
  }

  flush_sliding_window();
  if (pack.expected_length != state.output_bytes) report_error(kLengthErrorText);
  return 0;
}

}  // namespace engine
