#pragma once
// Process-wide state shared by the engine's files: the settings that
// decompress_file sets, the per-file state, the static buffers and counters,
// and the routines every decoder uses. One file is decoded at a time, by one
// thread; nothing here is guarded.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>

namespace engine {

// ---- settings (entry.cpp) --------------------------------------------------
extern const char* program_name;
extern char default_suffix[31];
extern std::size_t default_suffix_length;
extern int opt_decompress, opt_force, opt_quiet, opt_verbose;
extern int ignore_stored_name, ignore_stored_time;
extern int result_code;  // 0 ok, 1 error, 2 warning

/// Records a warning without ever downgrading an error.
inline void set_warning() { if (result_code == 0) result_code = 2; }

// ---- per-file state (entry.cpp) --------------------------------------------
constexpr std::size_t kNameBufferSize = 260;
extern char input_name[kNameBufferSize];
extern char output_name[kNameBufferSize];
extern int input_handle, output_handle;
extern struct stat input_status;
extern std::time_t stored_time;
extern int remove_output_on_abort;

// ---- container choice (container.cpp) --------------------------------------
using member_decoder_fn = int (*)(int input_handle, int output_handle);
extern int member_method, member_count, final_member;
extern member_decoder_fn member_decoder;

// ---- buffers, counters, CRC (buffers.cpp) ----------------------------------
constexpr std::size_t kInputBufferSize = 32768;
constexpr std::size_t kInputBufferSpare = 64;
constexpr std::size_t kOutputBufferSize = 16384;
constexpr std::size_t kOutputBufferSpare = 2048;
constexpr std::size_t kWindowSize = 32768;

extern std::uint8_t input_buffer[kInputBufferSize + kInputBufferSpare];
extern std::uint8_t output_buffer[kOutputBufferSize + kOutputBufferSpare];
extern std::uint8_t sliding_window[2 * kWindowSize];
extern std::uint16_t prefix_table[65536];
extern std::uint16_t* const prefix_table_high;  // prefix_table + 32768
extern std::uint16_t scratch_table[32768];

extern std::uint32_t input_count;   // valid bytes in input_buffer
extern std::uint32_t input_pos;     // next unread byte
extern std::uint32_t output_count;  // bytes waiting in sliding_window
extern std::uint32_t output_bytes;  // bytes flushed for the current member
extern std::uint64_t input_bytes_total;  // bytes read from the input file so far
extern std::uint32_t crc_register;
extern const std::uint32_t* const crc_table;  // 256 entries, reflected 0xEDB88320

void clear_buffers();
int fill_input(bool eof_allowed);
inline int next_input_byte() {
  return input_pos < input_count ? input_buffer[input_pos++] : fill_input(false);
}
void flush_sliding_window();
/// Copies COUNT input bytes into sliding_window at output_count in whole runs,
/// flushing each time the window fills (stored data).
void copy_input_to_window(std::uint32_t count);
void write_all(int handle, const void* data, std::size_t count);
std::uint32_t update_crc(const std::uint8_t* data, std::size_t count);

/// Prints "NAME: <system text for errno>\n" on standard error.
void print_system_error(const char* name);
[[noreturn]] void report_error(const char* text);
[[noreturn]] void report_read_error();
[[noreturn]] void report_write_error();

// ---- container recognition (container.cpp) --------------------------------
extern int pkzip_mode, pkzip_descriptor_follows, pkzip_encrypted;
int detect_container(int input_handle);   // method, -1 refused, -2 trailing bytes
int check_zip_entry(int input_handle);    // 0 accepted, 1 refused
void clear_pkzip_state();

// ---- file handling and ending (entry.cpp) ----------------------------------
void process_file(const char* name);
[[noreturn]] void abort_engine();
[[noreturn]] void end_process(int status);

#ifdef ENGINE_REPLACEABLE_END
// Test and fuzzing builds only (library target engine_testable): when a hook
// is set, end_process closes the engine's open files, forgets the end, and
// calls the hook instead of exiting. The hook must not return (throw, or
// longjmp); if it does, the process exits as usual. abort_engine has already
// removed the half-written output by then, exactly as in the product.
//
// A test runs the engine in-process like this (see
// tests/engine/engine_test_support.h, which packages it):
//
//   struct EngineEnded { int status; };
//   engine::end_process_hook = [](int s) { throw EngineEnded{s}; };
//   try { int r = engine::decompress_file("x.gz"); /* returned r */ }
//   catch (const EngineEnded& e) { /* the process would have ended with e.status */ }
using end_process_hook_fn = void (*)(int status);
extern end_process_hook_fn end_process_hook;
#endif

// ---- member decoders -------------------------------------------------------
int gzip_member_decode(int input_handle, int output_handle);  // container.cpp
int inflate_member();                                          // inflate.cpp
int decode_lzw(int input_handle, int output_handle);           // lzw.cpp
int decode_pack(int input_handle, int output_handle);          // pack.cpp
int decode_lzh(int input_handle, int output_handle);           // lzh.cpp

}  // namespace engine
