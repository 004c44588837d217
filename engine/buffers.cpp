// Buffered input and output shared by every decoder: the static buffers and
// their counters, the block-wise byte reader, the window flush (which feeds
// the CRC-32) and the write loop.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine_state.h"

namespace engine {

// All buffers live for the whole process; nothing here allocates.
std::uint8_t input_buffer[kInputBufferSize + kInputBufferSpare + kInputLoadSlack];
std::uint8_t output_buffer[kOutputBufferSize + kOutputBufferSpare];
std::uint8_t sliding_window[2 * kWindowSize + kWindowSlack];
std::uint16_t prefix_table[65536];
std::uint16_t* const prefix_table_high = prefix_table + 32768;
std::uint16_t scratch_table[32768];

std::uint32_t input_count = 0;
std::uint32_t input_pos = 0;
std::uint32_t output_start = 0;
std::uint32_t output_count = 0;
std::uint32_t output_bytes = 0;

void clear_buffers() {
  output_start = 0;
  output_count = 0;
  input_count = 0;
  input_pos = 0;
  output_bytes = 0;
}

int fill_input(bool eof_allowed) {
  input_count = 0;
  errno = 0;
  do {
    long got = fs::read(input_handle, input_buffer + input_count, kInputBufferSize - input_count);
    if (got <= 0) break;  // end of input, or a failure after which the bytes read so far are used
    input_count += static_cast<std::uint32_t>(got);
  } while (input_count < kInputBufferSize);

  if (input_count == 0) {
    if (eof_allowed) return -1;
    report_read_error();
  }
  input_pos = 1;
  return input_buffer[0];
}

void flush_sliding_window() {
  if (output_count == 0) return;
  const std::uint8_t* pending = sliding_window + output_start;
  update_crc(pending, output_count);
  write_all(output_handle, pending, output_count);
  output_bytes += output_count;
  output_count = 0;
}

void copy_input_to_window(std::uint32_t count, void (*when_full)()) {
  std::uint8_t* const area = sliding_window + output_start;
  while (count > 0) {
    if (input_pos == input_count) {
      area[output_count++] = std::uint8_t(fill_input(false));
      --count;
    } else {
      std::uint32_t run = std::min(input_count - input_pos, count);
      run = std::min(run, std::uint32_t(kWindowSize) - output_count);
      std::memcpy(area + output_count, input_buffer + input_pos, run);
      input_pos += run;
      output_count += run;
      count -= run;
    }
    if (output_count == kWindowSize) when_full();
  }
}

void write_all(fs::Handle handle, const void* data, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    long done = fs::write(handle, p, count);
    if (done < 0) report_write_error();
    if (done == 0) {  // no progress and no error: a full device that says nothing
      errno = ENOSPC;
      report_write_error();
    }
    p += done;
    count -= static_cast<std::size_t>(done);
  }
}

}  // namespace engine
