// Container recognition: reads a member header at the current input position,
// picks the member decoder, and (for gzip and PKZIP members) decodes the
// member and checks its CRC-32 and length.
#include <cstdio>
#include <cstring>

#include "engine_state.h"

namespace engine {

namespace {

constexpr std::uint8_t kZipSignature[4] = {0x50, 0x4B, 0x03, 0x04};

/// The bits of a gzip header's flags byte (0x01, a text hint, is ignored).
enum GzipFlag : int {
  kFlagContinuation = 0x02,  // part of a multi-part file: refused
  kFlagExtra = 0x04,         // an extra field follows
  kFlagName = 0x08,          // a stored file name follows
  kFlagComment = 0x10,       // a comment follows
  kFlagEncrypted = 0x20,     // refused
  kFlagReserved = 0xC0,      // refused
};

/// The little-endian field of type T at offset AT of the input buffer.
template <class T>
std::uint32_t buffer_field(std::size_t at) {
  return load_le<T>(state.input_buffer + at);
}

/// N little-endian bytes read with the byte reader (the input may be
/// refilled between them).
std::uint32_t read_le(int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint32_t(next_input_byte()) << (8 * i);
  return v;
}

void skip_zero_terminated() {
  while (next_input_byte() != 0) {
  }
}

int parse_gzip_header() {
  int method = next_input_byte();
  if (method != 8) {
    refuse("%s: %s: unknown method %d -- not supported\n", program_name, state.input_name, method);
    return -1;
  }
  state.member_method = 8;
  state.member_decoder = gzip_member_decode;

  int flags = next_input_byte();
  if (flags & kFlagEncrypted) {
    refuse("%s: %s is encrypted -- not supported\n", program_name, state.input_name);
    return -1;
  }
  if (flags & kFlagContinuation) {
    refuse("%s: %s is a multi-part gzip file -- not supported\n", program_name, state.input_name);
    return -1;
  }
  if (flags & kFlagReserved) {
    refuse("%s: %s has flags 0x%x -- not supported\n", program_name, state.input_name, flags);
    return -1;
  }

  std::uint32_t stamp = read_le(4);
  if (stamp != 0 && use_stored_time) state.stored_time = static_cast<std::time_t>(stamp);

  next_input_byte();  // extra flags
  next_input_byte();  // operating system
  if (flags & kFlagExtra) {
    for (std::uint32_t length = read_le(2); length > 0; --length) next_input_byte();
  }
  if (flags & kFlagName) skip_zero_terminated();
  if (flags & kFlagComment) skip_zero_terminated();
  return 8;
}

}  // namespace

void clear_pkzip_state() {
  state.pkzip_mode = false;
  state.pkzip_descriptor_follows = false;
  state.pkzip_encrypted = false;
}

int detect_container(fs::Handle input_handle) {
  int first = next_input_byte();
  int second = next_input_byte();
  ++state.member_count;
  state.member_method = -1;
  state.final_member = false;

  if (first == 0x1F && (second == 0x8B || second == 0x9E)) return parse_gzip_header();

  // A PKZIP local header only counts at the very start of the file (the
  // start of the first buffer fill); the four bytes must really be there,
  // not left over from an older fill.
  if (first == 0x50 && second == 0x4B && state.member_count == 1 && state.input_pos == 2 &&
      state.input_count >= 4 && std::memcmp(state.input_buffer, kZipSignature, 4) == 0) {
    state.input_pos = 0;
    state.member_decoder = gzip_member_decode;
    if (check_zip_entry(input_handle) != 0) return -1;
    state.final_member = true;
    return state.member_method;
  }

  if (first == 0x1F && second == 0x1E) {
    state.member_decoder = decode_pack;
    return state.member_method = 2;
  }
  if (first == 0x1F && second == 0x9D) {
    state.member_decoder = decode_lzw;
    state.final_member = true;
    return state.member_method = 1;
  }
  if (first == 0x1F && second == 0xA0) {
    state.member_decoder = decode_lzh;
    state.final_member = true;
    return state.member_method = 3;
  }

  if (state.member_count == 1) {
    refuse("\n%s: %s: not in gzip format\n", program_name, state.input_name);
    return -1;
  }
  warn("\n%s: %s: decompression OK, trailing garbage ignored\n", program_name, state.input_name);
  return -2;
}

int check_zip_entry(fs::Handle /*input_handle*/) {
  // The whole local header must sit in the first buffer fill. Field offsets
  // are only read once the fixed 30 bytes are known to be present.
  std::uint32_t start = 0;
  bool valid = state.input_count >= 30 && std::memcmp(state.input_buffer, kZipSignature, 4) == 0;
  if (valid) {
    start = 30 + buffer_field<std::uint16_t>(26) + buffer_field<std::uint16_t>(28);
    valid = start <= state.input_count;
  }
  if (!valid) {
    refuse("\n%s: %s: not a valid zip file\n", program_name, state.input_name);
    return 1;
  }
  state.input_pos = start;

  state.member_method = state.input_buffer[8];
  if (state.member_method != 0 && state.member_method != 8) {
    refuse("\n%s: %s: first entry not deflated or stored -- not supported\n", program_name, state.input_name);
    return 1;
  }
  int flags = int(buffer_field<std::uint16_t>(6));
  if (flags & 1) {
    refuse("\n%s: %s: encrypted file -- not supported\n", program_name, state.input_name);
    return 1;
  }
  state.pkzip_descriptor_follows = (flags & 8) != 0;
  state.pkzip_mode = true;
  return 0;
}

int gzip_member_decode(fs::Handle /*input_handle*/, fs::Handle /*output_handle*/) {
  update_crc(nullptr, 0);
  std::uint32_t expected_crc = 0;
  std::uint32_t expected_length = 0;
  if (state.pkzip_mode && !state.pkzip_descriptor_follows) {
    expected_crc = buffer_field<std::uint32_t>(14);
    expected_length = buffer_field<std::uint32_t>(22);
  }

  if (state.member_method == 8) {
    InflateResult result = inflate_member();
    if (result != InflateResult::Ok) report_error(inflate_failure_text(result));
  } else if (state.pkzip_mode && state.member_method == 0) {
    std::uint32_t n = buffer_field<std::uint32_t>(22);
    std::uint32_t packed = buffer_field<std::uint32_t>(18);
    if (n != packed - (state.pkzip_encrypted ? 12u : 0u)) {
      std::fprintf(stderr, "len %ld, siz %ld\n", long(n), long(packed));
      report_error("invalid compressed data--length mismatch");
    }
    // Stored entry: straight copy through the window.
    copy_input_to_window(n);
    flush_sliding_window();
  } else {
    report_error("internal error, invalid method");
  }

  if (!state.pkzip_mode) {
    expected_crc = read_le(4);
    expected_length = read_le(4);
  } else if (state.pkzip_descriptor_follows) {
    read_le(4);  // descriptor signature
    expected_crc = read_le(4);
    read_le(4);  // compressed size
    expected_length = read_le(4);
  }

  if (expected_crc != update_crc(state.sliding_window, 0)) report_error("invalid compressed data--crc error");
  if (expected_length != state.output_bytes) report_error(kLengthErrorText);

  if (state.pkzip_mode && state.input_pos + 4 < state.input_count &&
      std::memcmp(state.input_buffer + state.input_pos, kZipSignature, 4) == 0) {
    refuse("%s: %s has more than one entry -- unchanged\n", program_name, state.input_name);
    clear_pkzip_state();
    return 1;
  }
  clear_pkzip_state();
  return 0;
}

}  // namespace engine
