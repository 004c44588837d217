// The .Z decoder: LZW with codes of 9 up to 16 bits, packed least
// significant bit first in groups of eight codes, with an optional block mode
// in which code 256 clears the table.
//
// The string table lives in the shared buffers: the prefix code of every
// entry in prefix_table, the last byte of every entry in sliding_window, and
// the length of every entry's string in scratch_table (one byte per entry,
// 255 standing for 255 or more). Knowing a string's length, the decoder
// writes it straight into its place in the output, last byte first, walking
// from the entry to its prefixes. Output is staged in output_buffer and
// written in 16 KiB pieces.
//
// The decoder reads the input itself instead of going through
// next_input_byte: a code is fetched with one four-byte load at the bit
// position, and the buffer is consumed pass by pass. A pass ends when the
// code width changes (growth or clear) or when the usable bits run out; while
// more input may come, only whole groups of eight codes count as usable,
// because the compressor pads the last group of a width to its full size
// before it switches to another width.
#include "engine_state.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace engine {
namespace {

constexpr std::uint32_t kClearCode = 256;
constexpr int kInitialWidth = 9;
constexpr int kWidestCode = 16;
/// Output is staged in output_buffer, not using its spare.
constexpr std::uint32_t kStagingSize = kOutputBufferSize;
/// The buffer is refilled when fewer unread bytes are left; its spare room
/// takes them in front of a full refill.
constexpr std::uint32_t kRefillBelow = kInputBufferSpare;
/// A string's length as the table keeps it: 255 stands for 255 or more.
constexpr std::uint32_t kLongString = 255;

// Next multiple of one group of codes (width bytes = width * 8 bits).
inline std::uint64_t next_group(std::uint64_t bit_position, int width) {
  const std::uint64_t group = static_cast<std::uint64_t>(width) * 8;
  return (bit_position + group - 1) / group * group;
}

/// The string table and the output staging, for one member.
class Strings {
 public:
  explicit Strings(fs::Handle output_handle) : output_handle_(output_handle) {
    for (std::uint32_t code = 0; code < 256; ++code) {
      last_byte_[code] = static_cast<std::uint8_t>(code);
      length_[code] = 1;
    }
  }

  /// Appends the string of CODE (an entry that exists) to the output;
  /// returns its first byte.
  std::uint8_t put(std::uint32_t code) { return put(code, length_of(code)); }

  /// Appends one byte.
  void put_byte(std::uint8_t byte) {
    if (staged_ == kStagingSize) flush();
    state.output_buffer[staged_++] = byte;
  }

  /// Makes entry ENTRY: the string of PREFIX followed by BYTE.
  void add(std::uint32_t entry, std::uint32_t prefix, std::uint8_t byte) {
    prefix_[entry] = static_cast<std::uint16_t>(prefix);
    last_byte_[entry] = byte;
    const std::uint32_t length = length_[prefix] + 1u;
    length_[entry] = static_cast<std::uint8_t>(length < kLongString ? length : kLongString);
  }

  /// Writes what is staged.
  void flush() {
    if (staged_ == 0) return;
    write_all(output_handle_, state.output_buffer, staged_);
    state.output_bytes += staged_;
    staged_ = 0;
  }

 private:
  std::uint32_t length_of(std::uint32_t code) const {
    std::uint32_t length = length_[code];
    if (length < kLongString) return length;
    // Every entry was made from a smaller code since the last clear, so
    // this walk ends.
    for (length = 1; code >= 256; ++length) code = prefix_[code];
    return length;
  }

  /// Appends the LENGTH bytes of the string of CODE in pieces that fit the
  /// staging buffer: each piece is the string's next part, reached by
  /// walking past the bytes behind it and then written last byte first.
  std::uint8_t put(std::uint32_t code, std::uint32_t length) {
    std::uint32_t done = 0;
    std::uint8_t first = 0;
    while (done < length) {
      if (staged_ == kStagingSize) flush();
      const std::uint32_t piece = std::min(length - done, kStagingSize - staged_);
      std::uint32_t c = code;
      for (std::uint32_t skip = length - done - piece; skip > 0; --skip) c = prefix_[c];
      std::uint8_t* p = state.output_buffer + staged_ + piece;
      for (std::uint32_t n = piece; n > 0; --n) {
        *--p = last_byte_[c];
        c = prefix_[c];
      }
      if (done == 0) first = *p;
      staged_ += piece;
      done += piece;
    }
    return first;
  }

  fs::Handle output_handle_;
  std::uint32_t staged_ = 0;
  std::uint16_t* const prefix_ = state.prefix_table;
  std::uint8_t* const last_byte_ = state.sliding_window;
  std::uint8_t* const length_ = reinterpret_cast<std::uint8_t*>(state.scratch_table);
};

static_assert(sizeof state.scratch_table >= 65536, "one length byte per entry");

/// The width of the codes being read, and when it grows.
struct CodeWidth {
  int bits = kInitialWidth;
  std::uint32_t mask = (1u << kInitialWidth) - 1;
  /// The width grows once the next free entry passes this.
  std::uint32_t growth_limit = mask;

  void grow(int max_width, std::uint32_t entry_limit) {
    ++bits;
    growth_limit = bits == max_width ? entry_limit : (1u << bits) - 1;
    mask = (1u << bits) - 1;
  }
};

/// The member's flags byte: block mode and the widest code. A width above
/// kWidestCode is refused (false); reserved bits are a warning.
bool read_flags(bool* block_mode, int* max_width) {
  const int flags = next_input_byte();
  *block_mode = (flags & 0x80) != 0;
  if (flags & 0x60)
    warn("\n%s: %s: warning, unknown flags 0x%x\n", program_name, state.input_name, flags & 0x60);
  *max_width = flags & 0x1F;
  if (*max_width <= kWidestCode) return true;
  refuse("\n%s: %s: compressed with %d bits, can only handle %d bits\n", program_name, state.input_name,
         *max_width, kWidestCode);
  return false;
}

/// Starts a pass: keeps the bytes from BIT_POSITION on at the front of
/// input_buffer (a growth or clear after the end of input may have skipped
/// past the data), and refills it when fewer than kRefillBelow are left;
/// LAST_READ is what the last read gave, 0 at the end of input. Returns the
/// usable end in bits for codes of WIDTH bits: whole groups while more
/// input may follow, else every complete code that is left.
std::int64_t start_pass(fs::Handle input_handle, std::uint64_t bit_position, int width,
                        std::int64_t* last_read) {
  const std::uint64_t drop = bit_position >> 3;
  const std::uint32_t keep =
      drop <= state.input_count ? state.input_count - static_cast<std::uint32_t>(drop) : 0;
  if (keep != 0 && drop != 0) std::memmove(state.input_buffer, state.input_buffer + drop, keep);
  state.input_count = keep;
  if (state.input_count < kRefillBelow) {
    errno = 0;
    const long got = fs::read(input_handle, state.input_buffer + state.input_count, kInputBufferSize);
    if (got < 0) report_read_error();
    state.input_count += static_cast<std::uint32_t>(got);
    *last_read = got;
  }
  return *last_read != 0 ? static_cast<std::int64_t>(state.input_count - state.input_count % width) * 8
                         : static_cast<std::int64_t>(state.input_count) * 8 - (width - 1);
}

/// Writes the string of CODE, read after PREVIOUS (so not the first code),
/// and makes the entry NEXT_FREE: the string of PREVIOUS followed by the
/// first byte of CODE's string, which it returns. FIRST_BYTE is that of
/// PREVIOUS's string.
[[gnu::always_inline]] inline std::uint8_t put_code(Strings& strings, std::uint32_t code,
                                                    std::uint32_t previous, std::uint8_t first_byte,
                                                    std::uint32_t& next_free, std::uint32_t entry_limit) {
  if (code < next_free) {
    first_byte = strings.put(code);
  } else {
    // The entry about to be made: the previous string followed by its own
    // first byte. Once the table is full no entry is made any more; the
    // first such code still names that string, but after it the previous
    // code itself is one that was never made.
    if (code > next_free || previous >= entry_limit) {
      strings.flush();
      report_error("corrupt input: code out of range.");
    }
    strings.put(previous);
    strings.put_byte(first_byte);
  }
  if (next_free < entry_limit) {
    strings.add(next_free, previous, first_byte);
    ++next_free;
  }
  return first_byte;
}

}  // namespace

int decode_lzw(fs::Handle input_handle, fs::Handle output_handle) {
  bool block_mode = false;
  int max_width = 0;
  if (!read_flags(&block_mode, &max_width)) return 1;

  Strings strings(output_handle);
  const std::uint32_t entry_limit = 1u << max_width;
  CodeWidth width;
  std::uint32_t next_free = block_mode ? kClearCode + 1 : kClearCode;
  bool have_previous = false;
  std::uint32_t previous = 0;
  std::uint8_t first_byte = 0;
  std::uint64_t bit_position = static_cast<std::uint64_t>(state.input_pos) * 8;
  std::int64_t last_read = state.input_count;

  for (;;) {
    const std::int64_t usable_end = start_pass(input_handle, bit_position, width.bits, &last_read);
    bit_position = 0;
    bool new_pass = false;
    while (static_cast<std::int64_t>(bit_position) < usable_end) {
      // A growth or a clear ends the group of codes of the old width.
      if (next_free > width.growth_limit) {
        bit_position = next_group(bit_position, width.bits);
        width.grow(max_width, entry_limit);
        new_pass = true;
        break;
      }
      // Up to three bytes past the last used one are read; they lie inside
      // input_buffer's spare room, and the mask removes their bits.
      const std::uint32_t code =
          load_le<std::uint32_t>(state.input_buffer + (bit_position >> 3)) >> (bit_position & 7) & width.mask;
      bit_position += width.bits;

      if (!have_previous) {
        if (code >= 256) report_error("corrupt input.");
        have_previous = true;
        first_byte = static_cast<std::uint8_t>(code);
        strings.put_byte(first_byte);
      } else if (code == kClearCode && block_mode) {
        next_free = kClearCode;
        bit_position = next_group(bit_position, width.bits);
        width = CodeWidth{};
        new_pass = true;
        break;
      } else {
        first_byte = put_code(strings, code, previous, first_byte, next_free, entry_limit);
      }
      previous = code;
    }
    if (!new_pass && last_read == 0) break;
  }

  strings.flush();
  return 0;
}

}  // namespace engine
