// Inflate: decodes the deflate data of one member (stored, fixed-code and
// dynamic-code blocks) from the input buffer into the circular 32 KiB output
// window, flushing the window every 32,768 bytes.
//
// Bits are taken from the low end of a 64-bit accumulator. Two ways of
// filling it give the same result:
//  - byte by byte, only while fewer bits are held than the next step needs
//    (near the end of a buffer fill, where the next byte may not exist yet);
//  - eight bytes at a time while at least that many remain in the current
//    buffer fill. The load may put bits of the following bytes above the
//    counted ones; they are those bytes' own bits, so a later byte fetch ORs
//    the same values again.
// The eight-byte refill only runs once at least eight bytes of the current
// fill have been taken, and byte-wise fetching only crosses into a new fill
// when fewer than 16 bits are held; so the whole unused bytes in the
// accumulator (at most seven) always come from the current fill. At the end
// of a member they are handed back to the input buffer, and the trailer is
// read from the byte after the last one that held deflate bits. Running out of input is never
// seen here: fill_input ends the process when a needed byte is missing.
//
// Code tables: a root table indexed by the next r bits, plus sub-tables for
// longer codes, all in one heap block per code, built when a block's header
// has been read and released when the block ends (also when the process end
// is replaced by an exception in test builds: a guard owns each table).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine_state.h"

namespace engine {

std::uint64_t inflate_bits = 0;
unsigned inflate_bit_count = 0;
int literal_lookup_bits = 9;
int distance_lookup_bits = 6;

namespace {

/// One lookup slot. op: 0..13 length/distance base in value with op extra
/// bits; 15 end of block; 16 literal in value; 17..32 link to a sub-table of
/// op - 16 index bits starting at slot value of the same block; 99 invalid.
/// bits: the whole code length (for a link: the root width).
struct code_entry {
  std::uint8_t op;
  std::uint8_t bits;
  std::uint16_t value;
};

constexpr std::uint8_t kOpEndOfBlock = 15;
constexpr std::uint8_t kOpLiteral = 16;
constexpr std::uint8_t kOpInvalid = 99;

constexpr std::uint16_t kLengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13, 15,
                                           17, 19, 23, 27, 31, 35, 43, 51,  59,  67, 83,
                                           99, 115, 131, 163, 195, 227, 258, 0, 0};
constexpr std::uint8_t kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                           3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr int kMaxCodeLength = 15;
constexpr std::uint32_t kMaxMatch = 258;
/// The fast loop runs while the write position is below this: one of its
/// steps writes at most two literals and a longest match, and must end
/// before the window's end, where only the careful path flushes.
constexpr std::uint32_t kFastWindowLimit = std::uint32_t(kWindowSize) - kMaxMatch - 2;

/// The table of a code with no symbols at all: one invalid slot, root width
/// 0, so that any symbol asked of it is invalid data.
const code_entry kEmptyTable[1] = {{kOpInvalid, 0, 0}};

void free_code_tables(const code_entry* table) {
  if (table != nullptr && table != kEmptyTable) std::free(const_cast<code_entry*>(table));
}

/// Releases a block's table however the block ends.
struct TableGuard {
  const code_entry* table = nullptr;
  ~TableGuard() { free_code_tables(table); }
};

inline std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

/// Builds the table of a canonical code. Returns 0 complete, 1 incomplete,
/// 2 over-subscribed (nothing built), 3 out of memory. Symbols below
/// `literal_limit` are literals (below 256) or the end of block; symbol v
/// above takes base[v - limit] and extra[v - limit]. An incomplete code is
/// only built when it needs no sub-table (its table is then handed out with
/// invalid slots); otherwise the caller gets no table, as it rejects such a
/// code anyway. A single code of length 1 counts as complete.
int build_code_table(const std::uint8_t* lengths, unsigned n, unsigned literal_limit,
                     const std::uint16_t* base, const std::uint8_t* extra,
                     const code_entry** table_out, unsigned* root_inout) {
  *table_out = nullptr;
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned i = 0; i < n; ++i) ++count[lengths[i]];
  if (count[0] == n) {
    *table_out = kEmptyTable;
    *root_inout = 0;
    return 0;
  }

  unsigned shortest = 1, longest = kMaxCodeLength;
  while (count[shortest] == 0) ++shortest;
  while (count[longest] == 0) --longest;
  unsigned root = *root_inout;
  if (root < shortest) root = shortest;
  if (root > longest) root = longest;
  *root_inout = root;

  int spare = 1;
  for (unsigned len = 1; len <= longest; ++len) {
    spare = spare * 2 - int(count[len]);
    if (spare < 0) return 2;
  }
  bool incomplete = spare > 0 && longest != 1;
  if (incomplete && longest > root) return 1;

  // Canonical order: by length, then by symbol.
  unsigned offset[kMaxCodeLength + 2];
  offset[1] = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) offset[len + 1] = offset[len] + count[len];
  std::uint16_t sorted[320];
  for (unsigned i = 0; i < n; ++i)
    if (lengths[i] != 0) sorted[offset[lengths[i]]++] = std::uint16_t(i);

  auto make_entry = [&](unsigned symbol, unsigned len) {
    code_entry e;
    e.bits = std::uint8_t(len);
    if (symbol < literal_limit) {
      e.op = symbol < 256 ? kOpLiteral : kOpEndOfBlock;
      e.value = std::uint16_t(symbol);
    } else {
      e.op = extra[symbol - literal_limit];
      e.value = base[symbol - literal_limit];
    }
    return e;
  };

  // Two passes over the codes: the first sizes the sub-tables, the second
  // fills the block. Codes sharing their first `root` bits are contiguous in
  // canonical order, so each sub-table is opened once.
  code_entry* table = nullptr;
  std::size_t slots = 0;
  for (int pass = 0; pass < 2; ++pass) {
    unsigned remaining[kMaxCodeLength + 1];
    std::memcpy(remaining, count, sizeof remaining);
    std::size_t used = std::size_t(1) << root;
    std::uint32_t code = 0;  // next canonical code, first bit in bit 0
    unsigned open_prefix = ~0u;
    std::size_t sub_start = 0;
    unsigned sub_bits = 0;
    unsigned k = 0;
    for (unsigned len = 1; len <= longest; ++len) {
      for (unsigned c = 0; c < count[len]; ++c, ++k) {
        if (len <= root) {
          if (pass == 1) {
            code_entry e = make_entry(sorted[k], len);
            for (std::uint32_t i = code; i < (1u << root); i += 1u << len) table[i] = e;
          }
        } else {
          unsigned prefix = code & ((1u << root) - 1);
          if (prefix != open_prefix) {
            // Widen the sub-table until the codes left under this prefix
            // fill it.
            sub_bits = len - root;
            int left = 1 << sub_bits;
            while (sub_bits + root < longest) {
              left -= int(remaining[sub_bits + root]);
              if (left <= 0) break;
              ++sub_bits;
              left <<= 1;
            }
            sub_start = used;
            used += std::size_t(1) << sub_bits;
            open_prefix = prefix;
            if (pass == 1)
              table[prefix] = code_entry{std::uint8_t(16 + sub_bits), std::uint8_t(root),
                                         std::uint16_t(sub_start)};
          }
          if (pass == 1) {
            code_entry e = make_entry(sorted[k], len);
            for (std::uint32_t i = code >> root; i < (1u << sub_bits); i += 1u << (len - root))
              table[sub_start + i] = e;
          }
        }
        --remaining[len];
        // Next code in reversed bit order: add one at the top of `len` bits.
        std::uint32_t bit = 1u << (len - 1);
        while (code & bit) bit >>= 1;
        code = bit ? (code & (bit - 1)) | bit : 0;
        // Codes of the next length continue from this value with a 0 appended
        // at their end, which in reversed order is the same number.
      }
    }
    if (pass == 0) {
      slots = used;
      table = static_cast<code_entry*>(std::malloc(slots * sizeof(code_entry)));
      if (table == nullptr) return 3;
      for (std::size_t i = 0; i < slots; ++i) table[i] = code_entry{kOpInvalid, 0, 0};
    }
  }
  *table_out = table;
  return incomplete ? 1 : 0;
}

// ---- bit access for the header readers (byte-wise, as needed) -------------

inline void need_bits(unsigned n) {
  while (inflate_bit_count < n) {
    inflate_bits |= std::uint64_t(next_input_byte()) << inflate_bit_count;
    inflate_bit_count += 8;
  }
}
inline unsigned take_bits(unsigned n) {
  need_bits(n);
  unsigned v = unsigned(inflate_bits & ((std::uint64_t(1) << n) - 1));
  inflate_bits >>= n;
  inflate_bit_count -= n;
  return v;
}

inline void put_byte(std::uint8_t byte) {
  sliding_window[output_count++] = byte;
  if (output_count == kWindowSize) flush_sliding_window();
}

/// Copies a back-reference through the circular window, in runs that stop
/// at the window's end on either side. Same result as a byte-by-byte copy.
/// Returns the new write position (taken and given by value so that the
/// decode loops keep theirs in a register).
std::uint32_t copy_match_wrapping(std::uint32_t w, std::uint32_t distance, std::uint32_t length) {
  while (length > 0) {
    std::uint32_t src = (w - distance) & (kWindowSize - 1);
    std::uint32_t run = length;
    if (run > kWindowSize - src) run = std::uint32_t(kWindowSize) - src;
    if (run > kWindowSize - w) run = std::uint32_t(kWindowSize) - w;
    if (w - src >= run) {
      std::memmove(sliding_window + w, sliding_window + src, run);
    } else {
      for (std::uint32_t i = 0; i < run; ++i) sliding_window[w + i] = sliding_window[src + i];
    }
    w += run;
    length -= run;
    if (w == kWindowSize) {
      output_count = w;
      flush_sliding_window();
      w = 0;
    }
  }
  return w;
}

/// What the fast loop stopped at.
enum class FastStop { Limits, EndOfBlock, Invalid };

/// The decoder's registers while a block's symbols are decoded.
struct BitState {
  std::uint64_t bits;
  unsigned count;
  std::uint32_t pos;  // input_pos
  std::uint32_t w;    // window write position
};

/// Byte-wise fetch: only while fewer than N bits are held.
inline void need_bits(BitState& st, unsigned n) {
  while (st.count < n) {
    input_pos = st.pos;
    int c = next_input_byte();
    st.pos = input_pos;
    st.bits |= std::uint64_t(c) << st.count;
    st.count += 8;
  }
}

/// Looks up one code in TABLE (root width ROOT_BITS, through a sub-table
/// when linked), fetching only the bytes it needs, and consumes its bits.
/// False for an invalid code.
bool careful_lookup(BitState& st, const code_entry* table, unsigned root_bits,
                    std::uint64_t root_mask, code_entry& entry) {
  need_bits(st, root_bits);
  entry = table[st.bits & root_mask];
  if (entry.op > kOpLiteral) {
    if (entry.op == kOpInvalid) return false;
    unsigned sub = entry.op - 16u;
    need_bits(st, root_bits + sub);
    entry = table[entry.value + ((st.bits >> root_bits) & ((1u << sub) - 1))];
    if (entry.op == kOpInvalid) return false;
  }
  st.bits >>= entry.bits;
  st.count -= entry.bits;
  return true;
}

/// One symbol near the end of the buffer fill or of the window: bytes are
/// fetched only as this step needs them, the window is flushed when full.
/// Returns true when the block ends (RESULT 0) or the code is invalid
/// (RESULT 1).
bool careful_symbol(BitState& st, const code_entry* literal_table,
                    const code_entry* distance_table, unsigned literal_bits,
                    unsigned distance_bits, std::uint64_t literal_mask,
                    std::uint64_t distance_mask, int& result) {
  code_entry e;
  if (!careful_lookup(st, literal_table, literal_bits, literal_mask, e)) return result = 1, true;
  if (e.op == kOpLiteral) {
    sliding_window[st.w++] = std::uint8_t(e.value);
    if (st.w == kWindowSize) {
      output_count = st.w;
      flush_sliding_window();
      st.w = 0;
    }
    return false;
  }
  if (e.op == kOpEndOfBlock) return result = 0, true;
  need_bits(st, e.op);
  std::uint32_t length = e.value + std::uint32_t(st.bits & ((1u << e.op) - 1));
  st.bits >>= e.op;
  st.count -= e.op;

  code_entry d;
  if (!careful_lookup(st, distance_table, distance_bits, distance_mask, d)) return result = 1, true;
  need_bits(st, d.op);
  std::uint32_t distance = d.value + std::uint32_t(st.bits & ((1u << d.op) - 1));
  st.bits >>= d.op;
  st.count -= d.op;
  st.w = copy_match_wrapping(st.w, distance, length);
  return false;
}

/// Decodes symbols while at least 16 input bytes remain in the buffer fill
/// and the window has room for two literals and a whole match before its
/// end, so that no refill, flush or wrap of the write position can happen
/// inside. One
/// eight-byte refill per symbol gives at least 56 bits: enough for a length
/// code (15) with its extra bits (5) and a distance code (15) with its extra
/// bits (13).
///
/// Matches are copied sixteen (or, for distances 8 to 15, eight) bytes at a
/// time and may write up to fifteen bytes past their end; those bytes are window history (the oldest, reachable
/// only by the longest distances), so they are saved before the copy and
/// put back after it. A distance below 8 overlaps its own output: its
/// first period is copied byte by byte, as a repeat of the most recent bytes
/// must be.
inline FastStop decode_fast(BitState& st, const code_entry* literal_table,
                            const code_entry* distance_table, unsigned literal_bits,
                            unsigned distance_bits) {
  std::uint64_t bits = st.bits;
  unsigned count = st.count;
  std::uint32_t pos = st.pos;
  std::uint32_t w = st.w;
  const std::uint32_t pos_limit = input_count - 16;
  const std::uint8_t* const in = input_buffer;
  std::uint8_t* const window = sliding_window;
  const std::uint64_t literal_mask = (std::uint64_t(1) << literal_bits) - 1;
  const std::uint64_t distance_mask = (std::uint64_t(1) << distance_bits) - 1;
  FastStop stop = FastStop::Limits;

  while (pos <= pos_limit && w < kFastWindowLimit) {
    bits |= load_le64(in + pos) << count;
    pos += (63 - count) >> 3;
    count |= 56;

    code_entry e = literal_table[bits & literal_mask];
    if (e.op == kOpLiteral) {
      // Literals come in runs; up to three fit in the bits of one refill.
      bits >>= e.bits;
      count -= e.bits;
      window[w++] = std::uint8_t(e.value);
      e = literal_table[bits & literal_mask];
      if (e.op != kOpLiteral) goto after_literals;
      bits >>= e.bits;
      count -= e.bits;
      window[w++] = std::uint8_t(e.value);
      e = literal_table[bits & literal_mask];
      if (e.op != kOpLiteral) goto after_literals;
      bits >>= e.bits;
      count -= e.bits;
      window[w++] = std::uint8_t(e.value);
      continue;
    after_literals:
      // Fewer than 56 bits may be left after literals: top up before a match.
      bits |= load_le64(in + pos) << count;
      pos += (63 - count) >> 3;
      count |= 56;
    }
    if (e.op > kOpLiteral) {
      if (e.op == kOpInvalid) {
        stop = FastStop::Invalid;
        break;
      }
      e = literal_table[e.value + ((bits >> literal_bits) & ((1u << (e.op - 16)) - 1))];
      if (e.op == kOpInvalid) {
        stop = FastStop::Invalid;
        break;
      }
      if (e.op == kOpLiteral) {
        bits >>= e.bits;
        count -= e.bits;
        window[w++] = std::uint8_t(e.value);
        continue;
      }
    }
    bits >>= e.bits;
    count -= e.bits;
    if (e.op == kOpEndOfBlock) {
      stop = FastStop::EndOfBlock;
      break;
    }
    std::uint32_t length = e.value + std::uint32_t(bits & ((1u << e.op) - 1));
    bits >>= e.op;
    count -= e.op;

    code_entry d = distance_table[bits & distance_mask];
    if (d.op > kOpLiteral) {
      if (d.op == kOpInvalid) {
        stop = FastStop::Invalid;
        break;
      }
      d = distance_table[d.value + ((bits >> distance_bits) & ((1u << (d.op - 16)) - 1))];
      if (d.op == kOpInvalid) {
        stop = FastStop::Invalid;
        break;
      }
    }
    bits >>= d.bits;
    count -= d.bits;
    std::uint32_t distance = d.value + std::uint32_t(bits & ((1u << d.op) - 1));
    bits >>= d.op;
    count -= d.op;

    std::uint32_t src = (w - distance) & (kWindowSize - 1);
    if (src + length > kWindowSize) {
      w = copy_match_wrapping(w, distance, length);  // cannot flush: w stays below the end
      continue;
    }
    std::uint8_t* dst = window + w;
    const std::uint8_t* from = window + src;
    std::uint8_t* const end = dst + length;
    w += length;
    if (from > dst || distance >= 16) {
      std::uint8_t saved[16];
      std::memcpy(saved, end, 16);
      do {
        std::uint8_t t[16];
        std::memcpy(t, from, 16);
        std::memcpy(dst, t, 16);
        from += 16;
        dst += 16;
      } while (dst < end);
      std::memcpy(end, saved, 16);
    } else if (distance >= 8) {
      std::uint64_t saved;
      std::memcpy(&saved, end, 8);
      do {
        std::uint64_t t;
        std::memcpy(&t, from, 8);
        std::memcpy(dst, &t, 8);
        from += 8;
        dst += 8;
      } while (dst < end);
      std::memcpy(end, &saved, 8);
    } else if (distance == 1) {
      std::memset(dst, *from, length);
    } else {
      // A short period: the output repeats every `distance` bytes, and so
      // also every `period` bytes, the smallest multiple of it that is 8 or
      // more. The first period goes byte by byte; after that eight-byte
      // copies from one period back only read finished bytes.
      std::uint32_t period = distance * ((7 + distance) / distance);
      std::uint32_t head = length < period ? length : period;
      for (std::uint32_t i = 0; i < head; ++i) dst[i] = from[i];
      if (length > head) {
        std::uint64_t saved;
        std::memcpy(&saved, end, 8);
        dst += head;
        from = dst - period;
        do {
          std::uint64_t t;
          std::memcpy(&t, from, 8);
          std::memcpy(dst, &t, 8);
          from += 8;
          dst += 8;
        } while (dst < end);
        std::memcpy(end, &saved, 8);
      }
    }
  }
  st.bits = bits;
  st.count = count;
  st.pos = pos;
  st.w = w;
  return stop;
}

/// Decodes literal/length and distance codes until the end-of-block code.
/// Returns 0 at the end of block, 1 at an invalid code.
int decode_huffman_data(const code_entry* literal_table, const code_entry* distance_table,
                        unsigned literal_bits, unsigned distance_bits) {
  BitState st{inflate_bits, inflate_bit_count, input_pos, output_count};
  const std::uint64_t literal_mask = (std::uint64_t(1) << literal_bits) - 1;
  const std::uint64_t distance_mask = (std::uint64_t(1) << distance_bits) - 1;
  int result = 0;

  for (;;) {
    // The fast loop may only start where the bytes before the read position
    // belong to this buffer fill (see the top of this file).
    if (st.pos >= 8 && st.pos + 16 <= input_count && st.w < kFastWindowLimit) {
      FastStop stop = decode_fast(st, literal_table, distance_table, literal_bits, distance_bits);
      if (stop == FastStop::EndOfBlock) break;
      if (stop == FastStop::Invalid) {
        result = 1;
        break;
      }
    }
    if (careful_symbol(st, literal_table, distance_table, literal_bits, distance_bits,
                       literal_mask, distance_mask, result))
      break;
  }
  inflate_bits = st.bits;
  inflate_bit_count = st.count;
  input_pos = st.pos;
  output_count = st.w;
  return result;
}

int copy_stored_block() {
  unsigned skip = inflate_bit_count & 7;
  inflate_bits >>= skip;
  inflate_bit_count -= skip;
  unsigned length = take_bits(16);
  unsigned complement = take_bits(16);
  if (length != (~complement & 0xFFFFu)) return 1;

  // Whole bytes already in the accumulator come first.
  while (length > 0 && inflate_bit_count >= 8) {
    put_byte(std::uint8_t(inflate_bits));
    inflate_bits >>= 8;
    inflate_bit_count -= 8;
    --length;
  }
  if (length == 0) return 0;
  inflate_bits = 0;  // nothing held; drop the look-ahead copy of what follows
  copy_input_to_window(length);
  return 0;
}

int decode_fixed_block() {
  std::uint8_t lengths[288];
  std::memset(lengths, 8, 144);
  std::memset(lengths + 144, 9, 112);
  std::memset(lengths + 256, 7, 24);
  std::memset(lengths + 280, 8, 8);
  TableGuard literal;
  unsigned literal_root = 7;
  int res = build_code_table(lengths, 288, 257, kLengthBase, kLengthExtra, &literal.table,
                             &literal_root);
  if (res != 0) return res;

  std::memset(lengths, 5, 30);
  TableGuard distance;
  unsigned distance_root = 5;
  res = build_code_table(lengths, 30, 0, kDistanceBase, kDistanceExtra, &distance.table,
                         &distance_root);
  if (res > 1) return res;  // codes 30 and 31 are absent: incomplete is expected

  return decode_huffman_data(literal.table, distance.table, literal_root, distance_root) ? 1 : 0;
}

int decode_dynamic_block() {
  unsigned literal_codes = 257 + take_bits(5);
  unsigned distance_codes = 1 + take_bits(5);
  unsigned length_codes = 4 + take_bits(4);
  if (literal_codes > 286 || distance_codes > 30) return 1;

  std::uint8_t lengths[286 + 30];
  std::memset(lengths, 0, 19);
  for (unsigned i = 0; i < length_codes; ++i) lengths[kCodeLengthOrder[i]] = std::uint8_t(take_bits(3));

  unsigned total = literal_codes + distance_codes;
  {
    TableGuard length_table;
    unsigned root = 7;
    int res = build_code_table(lengths, 19, 19, nullptr, nullptr, &length_table.table, &root);
    if (res == 1) return 1;
    if (res != 0) return res;

    const std::uint64_t mask = (std::uint64_t(1) << root) - 1;
    unsigned last = 0;
    unsigned i = 0;
    while (i < total) {
      need_bits(root);
      code_entry e = length_table.table[inflate_bits & mask];
      // An invalid slot (a lone code of length 1 leaves one) or an empty
      // code-length code yields no length at all: invalid data.
      if (e.op == kOpInvalid) return 1;
      inflate_bits >>= e.bits;
      inflate_bit_count -= e.bits;
      unsigned symbol = e.value;
      if (symbol < 16) {
        lengths[i++] = std::uint8_t(symbol);
        last = symbol;
        continue;
      }
      unsigned repeat;
      unsigned value = 0;
      if (symbol == 16) {
        repeat = 3 + take_bits(2);
        value = last;
      } else if (symbol == 17) {
        repeat = 3 + take_bits(3);
      } else {
        repeat = 11 + take_bits(7);
      }
      if (i + repeat > total) return 1;
      std::memset(lengths + i, int(value), repeat);
      i += repeat;
      last = value;
    }
  }

  TableGuard literal;
  unsigned literal_root = unsigned(literal_lookup_bits);
  int res = build_code_table(lengths, literal_codes, 257, kLengthBase, kLengthExtra,
                             &literal.table, &literal_root);
  if (res == 1) {
    std::fputs(" incomplete literal tree\n", stderr);
    return 1;
  }
  if (res != 0) return res;

  TableGuard distance;
  unsigned distance_root = unsigned(distance_lookup_bits);
  res = build_code_table(lengths + literal_codes, distance_codes, 0, kDistanceBase,
                         kDistanceExtra, &distance.table, &distance_root);
  if (res == 1) {
    std::fputs(" incomplete distance tree\n", stderr);
    return 1;
  }
  if (res != 0) return res;

  return decode_huffman_data(literal.table, distance.table, literal_root, distance_root) ? 1 : 0;
}

int decode_block(int* final_block) {
  *final_block = int(take_bits(1));
  switch (take_bits(2)) {
    case 0: return copy_stored_block();
    case 1: return decode_fixed_block();
    case 2: return decode_dynamic_block();
    default: return 2;
  }
}

}  // namespace

int inflate_member() {
  output_count = 0;
  inflate_bits = 0;
  inflate_bit_count = 0;
  int final_block = 0;
  do {
    int res = decode_block(&final_block);
    if (res != 0) return res;
  } while (!final_block);

  // Hand back the whole bytes fetched ahead; the bits of a partial byte are
  // dropped so that the trailer starts at the next byte boundary.
  std::uint32_t unused = inflate_bit_count >> 3;
  input_pos -= unused < input_pos ? unused : input_pos;
  inflate_bits = 0;
  inflate_bit_count = 0;
  flush_sliding_window();
  return 0;
}

}  // namespace engine
