// Inflate: decodes the deflate data of one member (stored, fixed-code and
// dynamic-code blocks) from the input buffer into the circular 32 KiB output
// window, flushing the window every 32,768 bytes. The window is never
// cleared and the write position restarts at 0 with every member, so a
// distance reaching back before the member's first byte reads whatever an
// earlier member or file left there.
//
// Bits: a 64-bit accumulator (BitReader) takes bits from its low end. It is
// filled two ways that give the same result:
//  - byte by byte, only while fewer bits are held than the next step needs
//    (the careful step, used near the end of a buffer fill, where the next
//    byte may not exist yet, and by the block headers);
//  - eight bytes at a time while at least 16 bytes remain in the current
//    buffer fill (the fast loop). The load may put bits of the following
//    bytes above the counted ones; they are those bytes' own bits, so a
//    later byte fetch ORs the same values again.
// The fast loop only starts once at least eight bytes of the current fill
// have been taken, and byte-wise fetching only crosses into a new fill when
// fewer than 16 bits are held; so the whole unused bytes in the accumulator
// (at most seven) always come from the current fill. At the end of a member
// they are handed back to the input buffer, and the trailer is read from the
// byte after the last one that held deflate bits. Running out of input is
// never seen here: fill_input ends the process when a needed byte is missing.
//
// Code tables: a root table indexed by the next 11 (literal/length) or 8
// (distance) bits, plus sub-tables for longer codes, all in one heap block
// per code, built when a block's header has been read and released when the
// block ends. An entry is 32 bits (see Entry); resolve() finds a code's
// entry through the root table and, when linked, its sub-table
// (follow_link), for every alphabet; the fast loop takes the two steps
// apart only to test for a literal first. The careful step looks a code up with the bits
// it holds and fetches another byte only while the entry found is longer
// than those bits, so it never reads past the end of the deflate data.
//
// Output: the window's history stays in the lower half of sliding_window,
// where index i holds window position i (a circular 32 KiB window), and a
// member's output is written into the upper half, whose index 32 KiB + i
// stands for the same position i. The source of a match is then always the
// write position minus the distance, with no wrap around the window's end,
// and a copy may write a few bytes past its end into room nobody reads.
// Whenever the upper half is full it is written out and moved down to
// become the history. At the end of the member the bytes of the last,
// partial half are moved down to their positions, so that the window is the
// circular one again for the next member and the other decoders.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine_state.h"

/// Refuses the deflate data for REASON (an InflateResult) unless CONDITION
/// holds. The checks of the data go through it, so that each refusal names
/// the check that made it.
#define INFLATE_CHECK(condition, reason) \
  do {                                   \
    if (!(condition)) [[unlikely]]       \
      return InflateResult::reason;      \
  } while (0)

namespace engine {
namespace {

// ---- code tables ----------------------------------------------------------------

/// One slot of a code table:
///   bits  0-7   bits a look-up consumes: the code's length, plus its extra
///               bits for a length or distance; for a link, the root width
///   bits  8-11  the code's length (a link: the sub-table's index width; an
///               invalid slot: how many bits tell that it is one)
///   bits 12-15  kind: kLiteral, or kSpecial with kLink / kEndOfBlock / none
///               (invalid code)
///   bits 16-31  the literal byte, the base length or distance, or the
///               sub-table's first slot
using Entry = std::uint32_t;
constexpr Entry kLiteral = 0x8000;
constexpr Entry kSpecial = 0x4000;
constexpr Entry kLink = 0x2000;
constexpr Entry kEndOfBlock = 0x1000;

/// The consumed count takes bits 0-4 only (at most 15 + 13), so that a
/// shift by the entry's low six bits consumes it.
constexpr unsigned consumed(Entry e) { return e & 0x3F; }
constexpr unsigned code_length(Entry e) { return (e >> 8) & 0xF; }
constexpr unsigned value(Entry e) { return e >> 16; }
constexpr Entry make_entry(Entry kind, unsigned length, unsigned consume, unsigned value) {
  return kind | length << 8 | consume | value << 16;
}

/// The sub-table slot that link E of TABLE leads to for the code at the low
/// end of BITS.
inline Entry follow_link(const Entry* table, Entry e, std::uint64_t bits) {
  return table[value(e) + ((bits >> consumed(e)) & ((1u << code_length(e)) - 1))];
}

/// The entry of the code at the low end of BITS: the root slot, or the
/// sub-table slot a link in the root leads to. Bits above the held ones are
/// either zero or the input's real next bits (see the top of this file).
inline Entry resolve(const Entry* table, std::uint64_t bits, std::uint64_t root_mask) {
  Entry e = table[bits & root_mask];
  return e & kLink ? follow_link(table, e, bits) : e;
}

/// The length or distance of entry E: its base plus its extra bits, which
/// follow the code in SAVED (the accumulator before E was consumed). For
/// these entries the low byte is the consumed count and bits 12-13 are
/// clear, so both fields are read without masking them out (which lets the
/// compiler use one instruction for each on processors with BMI2).
inline std::uint32_t decoded_value(Entry e, std::uint64_t saved) {
  return value(e) +
         std::uint32_t((saved & ((std::uint64_t(1) << std::uint8_t(e)) - 1)) >> ((e >> 8) & 63));
}

/// The alphabets' sizes: literal/length symbols (257 and up are lengths;
/// the fixed code has two more than a dynamic block may use), distance
/// symbols, and code-length symbols.
constexpr unsigned kFirstLengthSymbol = 257;
constexpr unsigned kMaxLiteralCodes = 286;
constexpr unsigned kFixedLiteralCodes = 288;
constexpr unsigned kMaxDistanceCodes = 30;
constexpr unsigned kCodeLengthSymbols = 19;

constexpr std::uint16_t kLengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13, 15,
                                           17, 19, 23, 27, 31, 35, 43, 51,  59,  67, 83,
                                           99, 115, 131, 163, 195, 227, 258, 0, 0};
/// 99 marks symbols 286 and 287, which the fixed code has but which are no
/// lengths: they build as invalid codes.
constexpr std::uint8_t kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                           3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
constexpr std::uint8_t kNoLength = 99;
constexpr std::uint16_t kDistanceBase[kMaxDistanceCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[kMaxDistanceCodes] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr unsigned kMaxCodeLength = 15;

/// How building a code table ended.
enum class TableResult { Complete, Incomplete, Oversubscribed, OutOfMemory };

/// The shape of a canonical code: how many symbols have each length.
struct CodeShape {
  unsigned count[kMaxCodeLength + 1] = {};
  unsigned longest = 0;  // the longest length in use, 0 for no code at all
  int spare = 1;         // code space left at the longest length; below 0: over-subscribed
};

CodeShape shape_of(const std::uint8_t* lengths, unsigned n) {
  CodeShape shape;
  for (unsigned i = 0; i < n; ++i) ++shape.count[lengths[i]];
  shape.longest = kMaxCodeLength;
  while (shape.longest > 0 && shape.count[shape.longest] == 0) --shape.longest;
  for (unsigned len = 1; len <= shape.longest && shape.spare >= 0; ++len)
    shape.spare = shape.spare * 2 - int(shape.count[len]);
  return shape;
}

/// The symbols that have a code, in canonical order: by length, then by
/// symbol.
void sort_canonical(const std::uint8_t* lengths, unsigned n, const CodeShape& shape, std::uint16_t* sorted) {
  unsigned offset[kMaxCodeLength + 2];
  offset[1] = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) offset[len + 1] = offset[len] + shape.count[len];
  for (unsigned i = 0; i < n; ++i)
    if (lengths[i] != 0) sorted[offset[lengths[i]]++] = std::uint16_t(i);
}

/// What a code's symbols stand for: symbols below literal_limit are
/// literals (below 256) or the end of block; symbol v above takes
/// base[v - limit] and extra[v - limit].
struct Alphabet {
  unsigned literal_limit;
  const std::uint16_t* base;
  const std::uint8_t* extra;

  /// The entry of SYMBOL, whose code has LEN bits.
  Entry entry(unsigned symbol, unsigned len) const {
    if (symbol < literal_limit) {
      if (symbol < 256) return make_entry(kLiteral, len, len, symbol);
      return make_entry(kSpecial | kEndOfBlock, len, len, 0);
    }
    unsigned extra_bits = extra[symbol - literal_limit];
    if (extra_bits == kNoLength) return make_entry(kSpecial, len, len, 0);
    return make_entry(0, len, len + extra_bits, base[symbol - literal_limit]);
  }
};

/// The canonical code after CODE, a code of LEN bits kept in reversed bit
/// order (first bit in bit 0): one added at the top of LEN bits. Codes of
/// the next length continue from this value with a 0 appended at their
/// end, which in reversed order is the same number.
inline std::uint32_t next_code(std::uint32_t code, unsigned len) {
  std::uint32_t bit = 1u << (len - 1);
  while (code & bit) bit >>= 1;
  return bit ? (code & (bit - 1)) | bit : 0;
}

/// The index width of the sub-table that a code of LEN bits opens below a
/// root of ROOT bits: widened until the codes still to be placed under its
/// prefix (REMAINING, per length) fill it.
unsigned sub_table_bits(unsigned len, unsigned root, unsigned longest, const unsigned* remaining) {
  unsigned bits = len - root;
  int left = 1 << bits;
  while (bits + root < longest) {
    left -= int(remaining[bits + root]);
    if (left <= 0) break;
    ++bits;
    left <<= 1;
  }
  return bits;
}

/// Puts E into every slot of the SIZE slots at SLOTS whose index has FIRST
/// in its low STEP_BITS bits.
inline void replicate(Entry* slots, std::uint32_t first, std::size_t size, unsigned step_bits, Entry e) {
  for (std::size_t i = first; i < size; i += std::size_t(1) << step_bits) slots[i] = e;
}

/// Lays the codes of SHAPE (their symbols SORTED) out in TABLE: the root of
/// ROOT bits, then the sub-tables, each opened once, as codes sharing their
/// first ROOT bits are contiguous in canonical order. Returns the slots
/// used; with TABLE null it only counts them.
std::size_t lay_out(const CodeShape& shape, const std::uint16_t* sorted, const Alphabet& alphabet,
                    unsigned root, Entry* table) {
  unsigned remaining[kMaxCodeLength + 1];
  std::memcpy(remaining, shape.count, sizeof remaining);
  std::size_t used = std::size_t(1) << root;
  std::uint32_t code = 0;
  unsigned open_prefix = ~0u;  // the root slot whose sub-table is open
  std::size_t sub_start = 0;
  unsigned sub_bits = 0;
  const std::uint16_t* symbol = sorted;
  for (unsigned len = 1; len <= shape.longest; ++len) {
    for (unsigned c = 0; c < shape.count[len]; ++c, ++symbol) {
      const unsigned prefix = code & ((1u << root) - 1);
      if (len > root && prefix != open_prefix) {
        sub_bits = sub_table_bits(len, root, shape.longest, remaining);
        sub_start = used;
        used += std::size_t(1) << sub_bits;
        open_prefix = prefix;
        if (table != nullptr) {
          table[prefix] = make_entry(kSpecial | kLink, sub_bits, root, unsigned(sub_start));
          replicate(table + sub_start, 0, std::size_t(1) << sub_bits, 0,
                    make_entry(kSpecial, root + sub_bits, 0, 0));
        }
      }
      if (table != nullptr && len <= root) {
        replicate(table, code, std::size_t(1) << root, len, alphabet.entry(*symbol, len));
      } else if (table != nullptr) {
        replicate(table + sub_start, code >> root, std::size_t(1) << sub_bits, len - root,
                  alphabet.entry(*symbol, len));
      }
      --remaining[len];
      code = next_code(code, len);
    }
  }
  return used;
}

/// A built code: the root table (1 << ROOT_BITS slots) followed by its
/// sub-tables, in one block that lives as long as the block being decoded.
/// The root width is fixed, so that the loops index the root with a
/// constant mask.
template <unsigned ROOT_BITS>
class CodeTable {
 public:
  static constexpr unsigned kRootBits = ROOT_BITS;
  static constexpr std::uint64_t kRootMask = (std::uint64_t(1) << ROOT_BITS) - 1;

  CodeTable() = default;
  CodeTable(const CodeTable&) = delete;
  CodeTable& operator=(const CodeTable&) = delete;
  ~CodeTable() { std::free(entries_); }

  /// Builds the table of the canonical code given by LENGTHS (N symbols, 0
  /// for an absent one), whose symbols stand for what ALPHABET says. A code
  /// with no symbols at all gives a table of invalid slots, so that any
  /// symbol asked of it is invalid data. An incomplete code is only built
  /// when it needs no sub-table (its free slots are invalid); otherwise
  /// nothing is, as every caller rejects such a code. A single code of
  /// length 1 counts as complete.
  TableResult build(const std::uint8_t* lengths, unsigned n, const Alphabet& alphabet) {
    const CodeShape shape = shape_of(lengths, n);
    if (shape.spare < 0) return TableResult::Oversubscribed;
    const bool incomplete = shape.spare > 0 && shape.longest > 1;  // none, or one of length 1: complete
    if (incomplete && shape.longest > ROOT_BITS) return TableResult::Incomplete;

    std::uint16_t sorted[kFixedLiteralCodes];  // the largest alphabet
    sort_canonical(lengths, n, shape, sorted);
    const std::size_t slots = lay_out(shape, sorted, alphabet, ROOT_BITS, nullptr);
    entries_ = static_cast<Entry*>(std::malloc(slots * sizeof(Entry)));
    if (entries_ == nullptr) return TableResult::OutOfMemory;
    // Slots no code reaches (the free space of an incomplete code, or every
    // slot of an empty one) are invalid once the longest code's bits are in.
    replicate(entries_, 0, std::size_t(1) << ROOT_BITS, 0, make_entry(kSpecial, shape.longest, 0, 0));
    lay_out(shape, sorted, alphabet, ROOT_BITS, entries_);
    return incomplete ? TableResult::Incomplete : TableResult::Complete;
  }

  const Entry* entries() const { return entries_; }

 private:
  Entry* entries_ = nullptr;
};

/// The three codes of a dynamic block, for naming what is wrong with one.
enum class Code { CodeLength, Literal, Distance };

/// Why CODE, whose table could not be used, refuses its block. An
/// incomplete code prints NOTE first, when given.
InflateResult table_failure(TableResult result, Code code, const char* note = nullptr) {
  constexpr InflateResult kIncomplete[] = {InflateResult::IncompleteCodeLengthCode,
                                           InflateResult::IncompleteLiteralCode,
                                           InflateResult::IncompleteDistanceCode};
  constexpr InflateResult kOversubscribed[] = {InflateResult::OversubscribedCodeLengthCode,
                                               InflateResult::OversubscribedLiteralCode,
                                               InflateResult::OversubscribedDistanceCode};
  switch (result) {
    case TableResult::Complete: return InflateResult::Ok;
    case TableResult::Incomplete:
      if (note != nullptr) std::fputs(note, stderr);
      return kIncomplete[int(code)];
    case TableResult::Oversubscribed:
      return kOversubscribed[int(code)];
    case TableResult::OutOfMemory:
      break;
  }
  return InflateResult::OutOfMemory;
}

/// The three alphabets: literal/length symbols (257 up are lengths),
/// distances, and the code-length symbols (all taken as they are).
constexpr Alphabet kLiteralAlphabet{kFirstLengthSymbol, kLengthBase, kLengthExtra};
constexpr Alphabet kDistanceAlphabet{0, kDistanceBase, kDistanceExtra};
constexpr Alphabet kCodeLengthAlphabet{kCodeLengthSymbols, nullptr, nullptr};

/// Root widths: most literal/length codes resolve in one look-up of 11
/// bits, most distance codes in one of 8; the tables stay within the first
/// level of the processor's cache.
using LiteralTable = CodeTable<11>;
using DistanceTable = CodeTable<8>;
using CodeLengthTable = CodeTable<7>;

/// The two codes of a block.
struct BlockCodes {
  LiteralTable literal;
  DistanceTable distance;
};

// ---- bits -------------------------------------------------------------------------

/// The accumulator, with COUNT valid bits at the low end of BITS; the byte
/// after them is input_buffer[input_pos].
struct BitReader {
  std::uint64_t bits = 0;
  unsigned count = 0;

  void fetch_byte() {
    bits |= std::uint64_t(next_input_byte()) << count;
    count += 8;
  }
  /// Byte by byte, only while fewer than N bits are held.
  void need(unsigned n) {
    while (count < n) fetch_byte();
  }
  void drop(unsigned n) {
    bits >>= n;
    count -= n;
  }
  unsigned take(unsigned n) {
    need(n);
    unsigned v = unsigned(bits & ((std::uint64_t(1) << n) - 1));
    drop(n);
    return v;
  }
  /// The entry of the next code in TABLE, fetching only the bytes it needs.
  template <class Table>
  Entry entry(const Table& table) {
    for (;;) {
      Entry e = resolve(table.entries(), bits, Table::kRootMask);
      if (code_length(e) <= count) return e;
      fetch_byte();
    }
  }
  /// Consumes length or distance entry E with its extra bits; its value.
  std::uint32_t take_with_extra(Entry e) {
    need(consumed(e));
    std::uint32_t v = decoded_value(e, bits);
    drop(consumed(e));
    return v;
  }
};

/// The fast loop runs while at least kFastInputLeft bytes of this buffer
/// fill are left (two eight-byte loads per step) and at least kFastInputTaken
/// have been taken (see the top of this file).
constexpr std::uint32_t kFastInputLeft = 16;
constexpr std::uint32_t kFastInputTaken = 8;
inline bool fast_loop_fits(std::uint32_t pos) {
  return pos >= kFastInputTaken && pos + kFastInputLeft <= state.input_count;
}

// ---- output -------------------------------------------------------------------------

/// The upper half of sliding_window, where inflate writes (see the top of
/// this file): write positions run from kAreaStart to kAreaEnd.
constexpr std::uint32_t kAreaStart = std::uint32_t(kWindowSize);
constexpr std::uint32_t kAreaEnd = 2 * std::uint32_t(kWindowSize);
constexpr std::uint32_t kMaxMatch = 258;
/// What a copy in 16-byte moves may write past a match's end.
constexpr std::uint32_t kCopyOverrun = 15;
static_assert(kAreaEnd + 3 + kMaxMatch + kCopyOverrun <= sizeof state.sliding_window,
              "the room above the upper half takes what one fast step writes past it");

/// W has reached kAreaEnd, or passed it by what one step wrote: writes the
/// upper half out and moves it, with what lies past it, down to become the
/// history. Returns the new write position.
std::uint32_t slide_window(std::uint32_t w) {
  state.output_count = std::uint32_t(kWindowSize);
  flush_sliding_window();
  std::memmove(state.sliding_window, state.sliding_window + kWindowSize, w - kAreaStart);
  return w - std::uint32_t(kWindowSize);
}

inline void put_byte(std::uint32_t& w, std::uint8_t byte) {
  state.sliding_window[w++] = byte;
  if (w == kAreaEnd) w = slide_window(w);
}

/// Copies a back-reference byte by byte in effect, in runs that end at the
/// upper half's end. Returns the new write position (taken and given by
/// value so that the loops keep theirs in a register).
std::uint32_t copy_match_careful(std::uint32_t w, std::uint32_t distance, std::uint32_t length) {
  while (length > 0) {
    std::uint32_t run = length < kAreaEnd - w ? length : kAreaEnd - w;
    std::uint8_t* dst = state.sliding_window + w;
    const std::uint8_t* src = dst - distance;
    if (distance >= run) {
      std::memcpy(dst, src, run);
    } else {
      for (std::uint32_t i = 0; i < run; ++i) dst[i] = src[i];
    }
    w += run;
    length -= run;
    if (w == kAreaEnd) w = slide_window(w);
  }
  return w;
}

/// Copies from FROM to DST up to END in moves of N bytes, front to back; the
/// last move may write up to N - 1 bytes past END.
template <std::size_t N>
[[gnu::always_inline]] inline void copy_in_moves(std::uint8_t* dst, const std::uint8_t* from,
                                                 std::uint8_t* const end) {
  do {
    std::uint8_t t[N];
    std::memcpy(t, from, N);
    std::memcpy(dst, t, N);
    from += N;
    dst += N;
  } while (dst < end);
}

/// Copies LENGTH bytes from GAP bytes behind DST to DST front to back, as a
/// byte-by-byte copy would: a move of 16 (or 8) bytes only reads bytes that
/// are final. It may write up to kCopyOverrun bytes past the end.
[[gnu::always_inline]] inline void copy_match_fast(std::uint8_t* dst, std::uint32_t length,
                                                   std::uint32_t gap) {
  const std::uint8_t* const from = dst - gap;
  std::uint8_t* const end = dst + length;
  if (gap >= 16) {
    copy_in_moves<16>(dst, from, end);
  } else if (gap >= 8) {
    copy_in_moves<8>(dst, from, end);
  } else if (gap == 1) {
    std::memset(dst, *from, length);
  } else {
    // A short period: the output repeats every `gap` bytes, and so also
    // every `period` bytes, the smallest multiple of it that is 8 or more.
    // The first period goes byte by byte; after that eight-byte moves from
    // one period back only read finished bytes.
    std::uint32_t period = gap * ((7 + gap) / gap);
    std::uint32_t head = length < period ? length : period;
    for (std::uint32_t i = 0; i < head; ++i) dst[i] = from[i];
    if (length > head) copy_in_moves<8>(dst + head, dst + head - period, end);
  }
}

// ---- the two loops ---------------------------------------------------------------

/// Why a loop over a block's symbols stopped.
enum class Stop { Continue, EndOfBlock, InvalidLiteralCode, InvalidDistanceCode };

/// One symbol, fetching bytes only as it needs them: near the end of a
/// buffer fill.
Stop careful_step(BitReader& r, const BlockCodes& codes, std::uint32_t& w) {
  Entry e = r.entry(codes.literal);
  if (e & kLiteral) {
    r.drop(consumed(e));
    put_byte(w, std::uint8_t(value(e)));
    return Stop::Continue;
  }
  if (e & kSpecial) {
    if (!(e & kEndOfBlock)) return Stop::InvalidLiteralCode;
    r.drop(consumed(e));
    return Stop::EndOfBlock;
  }
  std::uint32_t length = r.take_with_extra(e);
  Entry d = r.entry(codes.distance);
  if (d & kSpecial) return Stop::InvalidDistanceCode;
  std::uint32_t distance = r.take_with_extra(d);
  w = copy_match_careful(w, distance, length);
  return Stop::Continue;
}

/// Symbols while fast_loop_fits: each step refills the accumulator with one
/// eight-byte load (at least 56 bits: three literal codes, or a length code
/// with its extra bits and a distance code with its extra bits, 48 at most),
/// and writes without looking at the upper half's end (see the top of the
/// file) until the step is done.
/// Compiled twice (decode_fast below): for any x86-64 processor, and for
/// those with BMI2, whose shifts by a register amount and bit-field
/// extraction suit this loop.
/// The fast loop's refill: eight bytes at POS placed above the held bits.
/// Only the low six bits of HELD count the held bits (see fast_drop).
[[gnu::always_inline]] inline void fast_refill(std::uint64_t& bits, std::uint64_t& held,
                                               std::uint32_t& pos, const std::uint8_t* in) {
  bits |= load_le<std::uint64_t>(in + pos) << (held & 63);
  pos += 7 - ((held >> 3) & 7);
  held |= 56;
}

/// Consumes entry E's bits. The whole entry is subtracted from HELD: its
/// higher fields only disturb the bits of HELD above the count.
[[gnu::always_inline]] inline void fast_drop(std::uint64_t& bits, std::uint64_t& held, Entry e) {
  bits >>= consumed(e);
  held -= e;
}

[[gnu::always_inline]] inline Stop decode_fast_body(BitReader& r, const BlockCodes& codes,
                                                    std::uint32_t& w_io) {
  std::uint64_t bits = r.bits;
  std::uint64_t held = r.count;
  std::uint32_t pos = state.input_pos;
  const std::uint32_t end = state.input_count;
  std::uint32_t w = w_io;
  const std::uint8_t* const in = state.input_buffer;
  std::uint8_t* const window = state.sliding_window;
  const Entry* const literal = codes.literal.entries();
  const Entry* const distance_table = codes.distance.entries();
  constexpr std::uint64_t literal_mask = LiteralTable::kRootMask;
  constexpr std::uint64_t distance_mask = DistanceTable::kRootMask;
  Stop stop = Stop::Continue;

  do {
    fast_refill(bits, held, pos, in);
    Entry e = literal[bits & literal_mask];
    if (e & kLiteral) {
      // Literals come in runs; three fit in the bits of one refill.
      fast_drop(bits, held, e);
      window[w++] = std::uint8_t(value(e));
      e = literal[bits & literal_mask];
      if (e & kLiteral) {
        fast_drop(bits, held, e);
      window[w++] = std::uint8_t(value(e));
        e = literal[bits & literal_mask];
        if (e & kLiteral) {
          fast_drop(bits, held, e);
      window[w++] = std::uint8_t(value(e));
          goto step_done;
        }
      }
      fast_refill(bits, held, pos, in);  // a length and a distance may need 48 bits
    }
    if (e & kSpecial) {
      // Off the common path: a code longer than the root, the end of the
      // block, or an invalid code.
      if (e & kLink) e = follow_link(literal, e, bits);
      if (e & kLiteral) {
        fast_drop(bits, held, e);
      window[w++] = std::uint8_t(value(e));
        goto step_done;
      }
      if (e & kSpecial) {
        if (e & kEndOfBlock) fast_drop(bits, held, e);
        stop = e & kEndOfBlock ? Stop::EndOfBlock : Stop::InvalidLiteralCode;
        break;
      }
    }
    {
      std::uint64_t saved = bits;
      fast_drop(bits, held, e);
      const std::uint32_t length = decoded_value(e, saved);
      Entry d = distance_table[bits & distance_mask];
      if (d & kSpecial) {
        if (d & kLink) d = follow_link(distance_table, d, bits);
        if (d & kSpecial) {
          stop = Stop::InvalidDistanceCode;
          break;
        }
      }
      saved = bits;
      fast_drop(bits, held, d);
      const std::uint32_t distance = decoded_value(d, saved);

      copy_match_fast(window + w, length, distance);
      w += length;
    }
  step_done:
    if (w >= kAreaEnd) w = slide_window(w);
  } while (pos + kFastInputLeft <= end);  // fast_loop_fits: pos only grows

  r.bits = bits;
  r.count = unsigned(held & 63);
  state.input_pos = pos;
  w_io = w;
  return stop;
}

using FastLoop = Stop (*)(BitReader& r, const BlockCodes& codes, std::uint32_t& w);

Stop decode_fast_portable(BitReader& r, const BlockCodes& codes, std::uint32_t& w) {
  return decode_fast_body(r, codes, w);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("bmi2"))) Stop decode_fast_bmi2(BitReader& r, const BlockCodes& codes,
                                                       std::uint32_t& w) {
  return decode_fast_body(r, codes, w);
}

FastLoop choose_fast_loop() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi2") ? decode_fast_bmi2 : decode_fast_portable;
}
#else
FastLoop choose_fast_loop() { return decode_fast_portable; }
#endif

/// Decodes a block's symbols until its end-of-block code.
InflateResult decode_symbols(BitReader& r, const BlockCodes& codes) {
  static const FastLoop decode_fast = choose_fast_loop();
  std::uint32_t w = kAreaStart + state.output_count;
  Stop stop = Stop::Continue;
  while (stop == Stop::Continue)
    stop = fast_loop_fits(state.input_pos) ? decode_fast(r, codes, w) : careful_step(r, codes, w);
  state.output_count = w - kAreaStart;
  INFLATE_CHECK(stop != Stop::InvalidLiteralCode, InvalidLiteralCode);
  INFLATE_CHECK(stop != Stop::InvalidDistanceCode, InvalidDistanceCode);
  return InflateResult::Ok;
}

// ---- blocks -----------------------------------------------------------------------

InflateResult copy_stored_block(BitReader& r) {
  r.drop(r.count & 7);
  unsigned length = r.take(16);
  unsigned complement = r.take(16);
  INFLATE_CHECK(length == (~complement & 0xFFFFu), StoredLengthMismatch);

  // Whole bytes already in the accumulator come first.
  std::uint32_t w = kAreaStart + state.output_count;
  for (; length > 0 && r.count >= 8; --length) {
    put_byte(w, std::uint8_t(r.bits));
    r.drop(8);
  }
  state.output_count = w - kAreaStart;
  if (length == 0) return InflateResult::Ok;
  r.bits = 0;  // nothing held; drop the look-ahead copy of what follows
  copy_input_to_window(length, [] { slide_window(kAreaEnd); });
  return InflateResult::Ok;
}

InflateResult decode_fixed_block(BitReader& r) {
  std::uint8_t lengths[kFixedLiteralCodes];
  std::memset(lengths, 8, 144);
  std::memset(lengths + 144, 9, 112);
  std::memset(lengths + 256, 7, 24);
  std::memset(lengths + 280, 8, 8);
  BlockCodes codes;
  TableResult built = codes.literal.build(lengths, kFixedLiteralCodes, kLiteralAlphabet);
  if (built != TableResult::Complete) return table_failure(built, Code::Literal);

  // Distance codes 30 and 31 are absent: the code is incomplete, and
  // their slots are invalid codes.
  std::memset(lengths, 5, kMaxDistanceCodes);
  built = codes.distance.build(lengths, kMaxDistanceCodes, kDistanceAlphabet);
  if (built != TableResult::Complete && built != TableResult::Incomplete)
    return table_failure(built, Code::Distance);
  return decode_symbols(r, codes);
}

/// Reads the code-length code (LENGTH_CODES lengths of 3 bits) of a dynamic
/// block, then through it the TOTAL literal/length and distance code
/// lengths into LENGTHS.
InflateResult read_code_lengths(BitReader& r, unsigned length_codes, std::uint8_t* lengths,
                                unsigned total) {
  std::uint8_t code_lengths[kCodeLengthSymbols] = {};
  for (unsigned i = 0; i < length_codes; ++i)
    code_lengths[kCodeLengthOrder[i]] = std::uint8_t(r.take(3));
  CodeLengthTable table;
  // An incomplete code-length code is invalid data, without a message.
  TableResult built = table.build(code_lengths, kCodeLengthSymbols, kCodeLengthAlphabet);
  if (built != TableResult::Complete) return table_failure(built, Code::CodeLength);

  unsigned last = 0;
  for (unsigned i = 0; i < total;) {
    // An invalid slot (a lone code of length 1 leaves one) or an empty
    // code-length code yields no length at all: invalid data.
    Entry e = r.entry(table);
    INFLATE_CHECK(!(e & kSpecial), InvalidCodeLengthSymbol);
    r.drop(consumed(e));
    unsigned symbol = value(e);
    if (symbol < 16) {
      lengths[i++] = std::uint8_t(symbol);
      last = symbol;
      continue;
    }
    unsigned repeat, repeated = 0;
    if (symbol == 16) {
      repeat = 3 + r.take(2);
      repeated = last;
    } else if (symbol == 17) {
      repeat = 3 + r.take(3);
    } else {
      repeat = 11 + r.take(7);
    }
    INFLATE_CHECK(i + repeat <= total, RepeatPastEnd);
    std::memset(lengths + i, int(repeated), repeat);
    i += repeat;
    last = repeated;
  }
  return InflateResult::Ok;
}

InflateResult decode_dynamic_block(BitReader& r) {
  unsigned literal_codes = kFirstLengthSymbol + r.take(5);
  unsigned distance_codes = 1 + r.take(5);
  unsigned length_codes = 4 + r.take(4);
  INFLATE_CHECK(literal_codes <= kMaxLiteralCodes, TooManyLiteralCodes);
  INFLATE_CHECK(distance_codes <= kMaxDistanceCodes, TooManyDistanceCodes);
  std::uint8_t lengths[kMaxLiteralCodes + kMaxDistanceCodes];
  InflateResult read = read_code_lengths(r, length_codes, lengths, literal_codes + distance_codes);
  if (read != InflateResult::Ok) return read;

  BlockCodes codes;
  TableResult built = codes.literal.build(lengths, literal_codes, kLiteralAlphabet);
  if (built != TableResult::Complete)
    return table_failure(built, Code::Literal, " incomplete literal tree\n");
  built = codes.distance.build(lengths + literal_codes, distance_codes, kDistanceAlphabet);
  if (built != TableResult::Complete)
    return table_failure(built, Code::Distance, " incomplete distance tree\n");
  return decode_symbols(r, codes);
}

InflateResult decode_block(BitReader& r, bool* final_block) {
  *final_block = r.take(1) != 0;
  const unsigned type = r.take(2);
  INFLATE_CHECK(type != 3, ReservedBlockType);
  if (type == 0) return copy_stored_block(r);
  return type == 1 ? decode_fixed_block(r) : decode_dynamic_block(r);
}

}  // namespace

InflateResult inflate_member() {
  state.output_start = kAreaStart;
  state.output_count = 0;
  BitReader r;
  bool final_block = false;
  do {
    state.inflate_result = decode_block(r, &final_block);
    if (state.inflate_result != InflateResult::Ok) return state.inflate_result;
  } while (!final_block);

  // Hand back the whole bytes fetched ahead; the bits of a partial byte are
  // dropped so that the trailer starts at the next byte boundary.
  std::uint32_t unused = r.count >> 3;
  state.input_pos -= unused < state.input_pos ? unused : state.input_pos;
  // The last, partial half goes out and down to its window positions.
  const std::uint32_t pending = state.output_count;
  flush_sliding_window();
  std::memmove(state.sliding_window, state.sliding_window + kAreaStart, pending);
  state.output_start = 0;
  return InflateResult::Ok;
}

const char* inflate_failure_text(InflateResult result) {
  return result == InflateResult::OutOfMemory ? "out of memory"
                                              : "invalid compressed data--format violated";
}

}  // namespace engine
