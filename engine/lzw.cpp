// The .Z decoder: LZW with codes of 9 up to 16 bits, packed least
// significant bit first in groups of eight codes, with an optional block mode
// in which code 256 clears the table.
//
// The string table lives in the shared buffers: the prefix code of every
// entry in prefix_table, the last byte of every entry in sliding_window, and
// a byte stack at the top of scratch_table on which a string is unwound
// backwards before it is copied out in order. Output is staged in
// output_buffer and written in 16 KiB pieces.
//
// The decoder reads the input itself instead of going through
// next_input_byte: a code is fetched with one three-byte load at the bit
// position, and the buffer is consumed pass by pass. A pass ends when the
// code width changes (growth or clear) or when the usable bits run out; while
// more input may come, only whole groups of eight codes count as usable,
// because the compressor pads the last group of a width to its full size
// before it switches to another width.
#include "engine_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace engine {
namespace {

constexpr std::uint32_t kClearCode = 256;
constexpr int kInitialWidth = 9;
constexpr int kWidestCode = 16;
constexpr std::uint32_t kStagingSize = 16384;  // output_buffer minus its spare
constexpr std::uint32_t kRefillBelow = 64;    // bytes kept before a refill

// The byte stack grows downward from near the end of scratch_table. It
// starts 16 bytes below the end (room for 65,520 bytes, more than the longest
// string, at most 65,282 bytes; see decode_lzw) so that a string can be
// copied out in whole 16-byte moves that may read past its last byte
// without leaving the table.
constexpr std::uint32_t kCopyChunk = 16;
std::uint8_t* stack_top() {
  return reinterpret_cast<std::uint8_t*>(scratch_table) + sizeof(scratch_table) - kCopyChunk;
}

// Next multiple of one group of codes (width bytes = width * 8 bits).
inline std::uint64_t next_group(std::uint64_t bit_position, int width) {
  const std::uint64_t group = static_cast<std::uint64_t>(width) * 8;
  return (bit_position + group - 1) / group * group;
}

// Copies a decoded string in 16-byte moves: most strings take one move and
// no length-dependent branch. Up to 15 bytes past the string are read (still
// inside scratch_table) and written (inside output_buffer's spare room, which
// the caller guarantees).
inline void copy_string(std::uint8_t* to, const std::uint8_t* from, std::uint32_t length) {
  std::uint32_t done = 0;
  do {
    std::memcpy(to + done, from + done, kCopyChunk);
    done += kCopyChunk;
  } while (done < length);
}

inline void write_staged(fs::Handle output_handle, std::uint32_t count) {
  if (count == 0) return;
  write_all(output_handle, output_buffer, count);
  output_bytes += count;
}

}  // namespace

int decode_lzw(fs::Handle input_handle, fs::Handle output_handle) {
  const int flags = next_input_byte();
  const bool block_mode = (flags & 0x80) != 0;
  if (flags & 0x60)
    warn("\n%s: %s: warning, unknown flags 0x%x\n", program_name, input_name, flags & 0x60);
  const int max_width = flags & 0x1F;
  if (max_width > kWidestCode) {
    refuse("\n%s: %s: compressed with %d bits, can only handle %d bits\n", program_name,
           input_name, max_width, kWidestCode);
    return 1;
  }

  std::uint16_t* const prefix = prefix_table;
  std::uint8_t* const last_byte = sliding_window;
  std::uint8_t* const top = stack_top();
  for (std::uint32_t code = 0; code < 256; ++code) last_byte[code] = static_cast<std::uint8_t>(code);

  const std::uint32_t entry_limit = 1u << max_width;
  int width = kInitialWidth;
  std::uint32_t mask = (1u << width) - 1;
  std::uint32_t growth_limit = mask;
  std::uint32_t next_free = block_mode ? kClearCode + 1 : kClearCode;
  bool have_previous = false;
  std::uint32_t previous = 0;
  std::uint8_t first_byte = 0;
  std::uint32_t staged = 0;
  std::uint64_t bit_position = static_cast<std::uint64_t>(input_pos) * 8;
  std::int64_t last_read = input_count;

  for (;;) {
    // Compact: keep the unread bytes at the front of the buffer. A growth or
    // clear after the end of input may have skipped past the data.
    const std::uint64_t drop = bit_position >> 3;
    const std::uint32_t keep = drop <= input_count ? input_count - static_cast<std::uint32_t>(drop) : 0;
    if (keep != 0 && drop != 0) std::memmove(input_buffer, input_buffer + drop, keep);
    input_count = keep;
    bit_position = 0;
    if (input_count < kRefillBelow) {
      errno = 0;
      const long got = fs::read(input_handle, input_buffer + input_count, kInputBufferSize);
      if (got < 0) report_read_error();
      input_count += static_cast<std::uint32_t>(got);
      last_read = got;
    }
    // Usable end: whole groups while more input may follow, else every
    // complete code that is left.
    const std::int64_t usable_end =
        last_read != 0 ? static_cast<std::int64_t>(input_count - input_count % width) * 8
                       : static_cast<std::int64_t>(input_count) * 8 - (width - 1);

    bool new_pass = false;
    while (static_cast<std::int64_t>(bit_position) < usable_end) {
      if (next_free > growth_limit) {
        bit_position = next_group(bit_position, width);
        ++width;
        growth_limit = width == max_width ? entry_limit : (1u << width) - 1;
        mask = (1u << width) - 1;
        new_pass = true;
        break;
      }
      // At most two bytes past the last used one are touched, and they lie
      // inside input_buffer's spare room; the mask removes their bits.
      const std::uint8_t* p = input_buffer + (bit_position >> 3);
      std::uint32_t code = (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                            static_cast<std::uint32_t>(p[2]) << 16) >>
                               (bit_position & 7) &
                           mask;
      bit_position += width;

      if (!have_previous) {
        if (code >= 256) report_error("corrupt input.");
        have_previous = true;
        previous = code;
        first_byte = static_cast<std::uint8_t>(code);
        output_buffer[staged++] = first_byte;
        if (staged == kStagingSize) {
          write_staged(output_handle, staged);
          staged = 0;
        }
        continue;
      }
      if (code == kClearCode && block_mode) {
        next_free = kClearCode;
        bit_position = next_group(bit_position, width);
        width = kInitialWidth;
        mask = (1u << width) - 1;
        growth_limit = mask;
        new_pass = true;
        break;
      }

      // A code may name the entry about to be made (the string just decoded
      // plus its own first byte) only while entries are still being made;
      // a code equal to an entry that will never exist is as corrupt as one
      // beyond the next free entry.
      const std::uint32_t incoming = code;
      if (code < 256) {
        // A single byte: no string to unwind.
        first_byte = static_cast<std::uint8_t>(code);
        output_buffer[staged++] = first_byte;
        if (staged == kStagingSize) {
          write_staged(output_handle, staged);
          staged = 0;
        }
      } else {
        std::uint8_t* sp = top;
        if (code >= next_free) {
          if (code > next_free || next_free >= entry_limit) {
            write_staged(output_handle, staged);
            report_error("corrupt input: code out of range.");
          }
          *--sp = first_byte;
          code = previous;
        }
        // Every entry below next_free was made in this member since the last
        // clear, from a prefix that is a smaller code, so this walk ends.
        while (code >= 256) {
          *--sp = last_byte[code];
          code = prefix[code];
        }
        first_byte = static_cast<std::uint8_t>(code);
        *--sp = first_byte;

        std::uint32_t length = static_cast<std::uint32_t>(top - sp);
        if (staged + length + kCopyChunk <= kStagingSize) {
          copy_string(output_buffer + staged, sp, length);
          staged += length;
        } else {
          while (length != 0) {
            const std::uint32_t piece = std::min(length, kStagingSize - staged);
            std::memcpy(output_buffer + staged, sp, piece);
            staged += piece;
            sp += piece;
            length -= piece;
            if (staged == kStagingSize) {
              write_staged(output_handle, staged);
              staged = 0;
            }
          }
        }
      }

      if (next_free < entry_limit) {
        prefix[next_free] = static_cast<std::uint16_t>(previous);
        last_byte[next_free] = first_byte;
        ++next_free;
      }
      previous = incoming;
    }
    if (!new_pass && last_read == 0) break;
  }

  write_staged(output_handle, staged);
  return 0;
}

}  // namespace engine
