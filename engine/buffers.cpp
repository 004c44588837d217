// Buffered input and output shared by every decoder: the static buffers and
// their counters, the block-wise byte reader, the window flush (which feeds
// the CRC-32) and the write loop.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine_state.h"

namespace engine {

void clear_buffers() {
  state.output_start = 0;
  state.output_count = 0;
  state.input_count = 0;
  state.input_pos = 0;
  state.output_bytes = 0;
}

int fill_input(bool eof_allowed) {
  state.input_count = 0;
  errno = 0;
  do {
    long got = fs::read(state.input_handle, state.input_buffer + state.input_count,
                        kInputBufferSize - state.input_count);
    if (got <= 0) break;  // end of input, or a failure after which the bytes read so far are used
    state.input_count += static_cast<std::uint32_t>(got);
  } while (state.input_count < kInputBufferSize);

  if (state.input_count == 0) {
    if (eof_allowed) return -1;
    report_read_error();
  }
  state.input_pos = 1;
  return state.input_buffer[0];
}

void flush_sliding_window() {
  if (state.output_count == 0) return;
  const std::uint8_t* pending = state.sliding_window + state.output_start;
  update_crc(pending, state.output_count);
  write_all(state.output_handle, pending, state.output_count);
  state.output_bytes += state.output_count;
  state.output_count = 0;
}

void copy_input_to_window(std::uint32_t count, void (*when_full)()) {
  std::uint8_t* const area = state.sliding_window + state.output_start;
  while (count > 0) {
    if (state.input_pos == state.input_count) {
      area[state.output_count++] = std::uint8_t(fill_input(false));
      --count;
    } else {
      std::uint32_t run = std::min(state.input_count - state.input_pos, count);
      run = std::min(run, std::uint32_t(kWindowSize) - state.output_count);
      std::memcpy(area + state.output_count, state.input_buffer + state.input_pos, run);
      state.input_pos += run;
      state.output_count += run;
      count -= run;
    }
    if (state.output_count == kWindowSize) when_full();
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
