// The LZH decoder: LZ77 with an 8 KiB dictionary and matches of 3 to 256
// bytes, the data cut into blocks that each carry three canonical Huffman
// code sets (bits read most significant first):
//   - the length-code set (19 symbols), which codes the next set's lengths;
//   - the literal/length set (510 symbols: 0-255 literal bytes, 256-509
//     matches of 3-256 bytes);
//   - the position set (14 symbols: the bit count of a match position).
// A set may also come in a single-symbol form: every look-up yields that
// symbol and consumes no bits.
//
// Look-up tables resolve codes of up to 12 bits (literal/length) or 8 bits
// (the short sets) at once; longer codes continue in small binary trees whose
// nodes are numbered from the set's symbol count upward. Output is produced
// in 8 KiB chunks in the first 8 KiB of sliding_window, which is also the
// dictionary: every chunk but the last is exactly 8 KiB, so a position taken
// modulo 8 KiB names the byte written that many places earlier, in this
// chunk or the one before.
//
// Input that ends early is not an error: zero bits are read from then on,
// and a block count of zero ends the data.
#include "engine_state.h"

#include <cstring>

namespace engine {
namespace {

constexpr unsigned kLitLenSymbols = 510;
/// What lzh_decode_symbol gives at the end of the data: one past the symbols.
constexpr unsigned kEndOfData = kLitLenSymbols;
constexpr unsigned kLengthCodeSymbols = kLzhLengthCodeSymbols;
constexpr unsigned kPositionSymbols = 14;
constexpr int kLitLenTableBits = 12;
constexpr int kShortTableBits = kLzhShortTableBits;
constexpr int kLongestLength = 16;
constexpr unsigned kChunkSize = 8192;
constexpr unsigned kDictionaryMask = kChunkSize - 1;

// The member state is state.lzh (engine_state.h); its larger tables live in
// the shared buffers.
LzhState& lzh = state.lzh;
std::uint8_t* const litlen_lengths = state.output_buffer;  // 510 used; overruns land behind
std::uint16_t* const litlen_table = state.scratch_table;   // 4,096 entries
std::uint16_t* const left_child = state.prefix_table;
std::uint16_t* const right_child = state.prefix_table + kPrefixTableHalf;

[[noreturn]] void bad_table() { report_error("Bad table\n"); }

void lzh_fill_bits(int n) {
  lzh.bit_window = static_cast<std::uint16_t>(lzh.bit_window << n);
  while (n > lzh.pending_bits) {
    n -= lzh.pending_bits;
    lzh.bit_window = static_cast<std::uint16_t>(lzh.bit_window | lzh.pending_byte << n);
    if (state.input_pos < state.input_count) {
      lzh.pending_byte = state.input_buffer[state.input_pos++];
    } else if (lzh.input_ended) {
      lzh.pending_byte = 0;
    } else {
      const int byte = fill_input(true);
      lzh.input_ended = byte < 0;
      lzh.pending_byte = lzh.input_ended ? 0 : static_cast<unsigned>(byte);
    }
    lzh.pending_bits = 8;
  }
  lzh.pending_bits -= n;
  lzh.bit_window = static_cast<std::uint16_t>(lzh.bit_window | lzh.pending_byte >> lzh.pending_bits);
}

unsigned lzh_get_bits(int n) {
  const unsigned value = static_cast<unsigned>(lzh.bit_window) >> (16 - n);
  lzh_fill_bits(n);
  return value;
}

// Builds the look-up table (and tree) of a canonical code. The lengths must
// fill the code space exactly; anything else could leave table entries or
// tree children unset, which a look-up would then follow.
void lzh_make_table(unsigned symbol_count, const std::uint8_t* lengths, int table_bits,
                    std::uint16_t* table) {
  std::uint32_t count[kLongestLength + 1] = {};
  for (unsigned i = 0; i < symbol_count; ++i) ++count[lengths[i]];

  std::uint32_t start[kLongestLength + 2];
  start[1] = 0;
  for (int length = 1; length <= kLongestLength; ++length) {
    start[length + 1] = start[length] + (count[length] << (kLongestLength - length));
  }
  if (start[kLongestLength + 1] != (1u << kLongestLength)) bad_table();

  const int drop = kLongestLength - table_bits;  // code bits beyond the table index
  const std::uint32_t table_size = 1u << table_bits;
  for (std::uint32_t i = start[table_bits + 1] >> drop; i < table_size; ++i) table[i] = 0;

  unsigned next_node = symbol_count;
  for (unsigned symbol = 0; symbol < symbol_count; ++symbol) {
    const int length = lengths[symbol];
    if (length == 0) continue;
    const std::uint32_t code = start[length];
    start[length] = code + (1u << (kLongestLength - length));
    if (length <= table_bits) {
      const std::uint32_t first = code >> drop;
      const std::uint32_t last = first + (1u << (table_bits - length));
      for (std::uint32_t i = first; i < last; ++i) table[i] = static_cast<std::uint16_t>(symbol);
      continue;
    }
    std::uint16_t* slot = &table[code >> drop];
    for (int bit = kLongestLength - 1 - table_bits; bit >= kLongestLength - length; --bit) {
      if (*slot == 0) {
        left_child[next_node] = right_child[next_node] = 0;
        *slot = static_cast<std::uint16_t>(next_node++);
      }
      slot = (code >> bit & 1) ? &right_child[*slot] : &left_child[*slot];
    }
    *slot = static_cast<std::uint16_t>(symbol);
  }
}

// Follows the tree below a table entry for codes longer than the table; the
// window bit just below the table index comes first.
inline unsigned walk_tree(unsigned node, unsigned symbol_count, int first_bit) {
  for (unsigned bit = 1u << first_bit; node >= symbol_count; bit >>= 1) {
    if (bit == 0) bad_table();  // cannot happen with a complete code
    node = (lzh.bit_window & bit) ? right_child[node] : left_child[node];
  }
  return node;
}

void lzh_read_short_lengths(unsigned symbol_count, int count_bits, int special_index) {
  const unsigned n = lzh_get_bits(count_bits);
  if (n == 0) {
    const unsigned only = lzh_get_bits(count_bits);
    if (only >= symbol_count) bad_table();
    std::memset(lzh.short_lengths, 0, symbol_count);
    for (auto& entry : lzh.short_table) entry = static_cast<std::uint16_t>(only);
    return;
  }
  if (n > kLengthCodeSymbols) bad_table();

  unsigned i = 0;
  while (i < n) {
    // 0-6 in three bits; 7 and up as 111 followed by one 1 bit per step
    // above 7 and a closing 0.
    unsigned length = lzh.bit_window >> 13;
    if (length == 7) {
      for (unsigned bit = 1u << 12; lzh.bit_window & bit; bit >>= 1) ++length;
    }
    if (length > kLongestLength) bad_table();
    lzh_fill_bits(length < 7 ? 3 : static_cast<int>(length) - 3);
    lzh.short_lengths[i++] = static_cast<std::uint8_t>(length);
    if (static_cast<int>(i) == special_index) {
      for (unsigned zeros = lzh_get_bits(2); zeros > 0; --zeros) lzh.short_lengths[i++] = 0;
    }
  }
  while (i < symbol_count) lzh.short_lengths[i++] = 0;
  lzh_make_table(symbol_count, lzh.short_lengths, kShortTableBits, lzh.short_table);
}

void lzh_read_symbol_lengths() {
  const unsigned n = lzh_get_bits(9);
  if (n == 0) {
    const unsigned only = lzh_get_bits(9);
    if (only >= kLitLenSymbols) bad_table();
    std::memset(litlen_lengths, 0, kLitLenSymbols);
    for (unsigned i = 0; i < (1u << kLitLenTableBits); ++i) {
      litlen_table[i] = static_cast<std::uint16_t>(only);
    }
    return;
  }

  // n is at most 511 and a zero run at most 531, so writes stay below
  // index 1,042 of output_buffer; whatever lands at 510 and above is unused.
  unsigned i = 0;
  while (i < n) {
    unsigned c = lzh.short_table[lzh.bit_window >> 8];
    if (c >= kLengthCodeSymbols) c = walk_tree(c, kLengthCodeSymbols, 7);
    lzh_fill_bits(lzh.short_lengths[c]);
    if (c > 2) {
      litlen_lengths[i++] = static_cast<std::uint8_t>(c - 2);
      continue;
    }
    unsigned zeros = c == 0 ? 1 : c == 1 ? lzh_get_bits(4) + 3 : lzh_get_bits(9) + 20;
    for (; zeros > 0; --zeros) litlen_lengths[i++] = 0;
  }
  while (i < kLitLenSymbols) litlen_lengths[i++] = 0;
  lzh_make_table(kLitLenSymbols, litlen_lengths, kLitLenTableBits, litlen_table);
}

unsigned lzh_decode_symbol() {
  if (lzh.symbols_left == 0) {
    lzh.symbols_left = lzh_get_bits(16);
    if (lzh.symbols_left == 0) return kEndOfData;
    lzh_read_short_lengths(kLengthCodeSymbols, 5, 3);
    lzh_read_symbol_lengths();
    lzh_read_short_lengths(kPositionSymbols, 4, -1);
  }
  --lzh.symbols_left;
  unsigned symbol = litlen_table[lzh.bit_window >> (16 - kLitLenTableBits)];
  if (symbol >= kLitLenSymbols) symbol = walk_tree(symbol, kLitLenSymbols, 15 - kLitLenTableBits);
  lzh_fill_bits(litlen_lengths[symbol]);
  return symbol;
}

unsigned lzh_decode_position() {
  unsigned bits = lzh.short_table[lzh.bit_window >> (16 - kShortTableBits)];
  if (bits >= kPositionSymbols) bits = walk_tree(bits, kPositionSymbols, 15 - kShortTableBits);
  lzh_fill_bits(lzh.short_lengths[bits]);
  if (bits == 0) return 0;
  return (1u << (bits - 1)) + lzh_get_bits(static_cast<int>(bits) - 1);
}

unsigned lzh_decode_chunk(unsigned count, std::uint8_t* area) {
  unsigned r = 0;
  while (--lzh.match_left >= 0) {
    area[r] = area[lzh.match_source];
    lzh.match_source = (lzh.match_source + 1) & kDictionaryMask;
    if (++r == count) return r;
  }
  for (;;) {
    const unsigned symbol = lzh_decode_symbol();
    if (symbol == kEndOfData) {
      lzh.end_of_data = true;
      return r;
    }
    if (symbol < 256) {
      area[r] = static_cast<std::uint8_t>(symbol);
      if (++r == count) return r;
      continue;
    }
    lzh.match_left = static_cast<int>(symbol) - 253;
    lzh.match_source = (r - lzh_decode_position() - 1) & kDictionaryMask;
    while (--lzh.match_left >= 0) {
      area[r] = area[lzh.match_source];
      lzh.match_source = (lzh.match_source + 1) & kDictionaryMask;
      if (++r == count) return r;
    }
  }
}

}  // namespace

int decode_lzh(fs::Handle, fs::Handle output_handle) {
  lzh.bit_window = 0;
  lzh.pending_byte = 0;
  lzh.pending_bits = 0;
  lzh.input_ended = false;
  lzh_fill_bits(16);
  lzh.symbols_left = 0;
  lzh.match_left = 0;
  lzh.end_of_data = false;
  // A match reaching back before the first byte reads zeros rather than
  // whatever an earlier file left in the window.
  std::memset(state.sliding_window, 0, kChunkSize);

  while (!lzh.end_of_data) {
    const unsigned n = lzh_decode_chunk(kChunkSize, state.sliding_window);
    if (n > 0) write_all(output_handle, state.sliding_window, n);
  }
  return 0;
}

}  // namespace engine
