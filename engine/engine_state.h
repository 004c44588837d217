#pragma once
// Process-wide state shared by the engine's files: the fixed settings, the
// per-file state, the static buffers and counters, and the routines every
// decoder uses. One file is decoded at a time, by one thread; nothing here
// is guarded.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "file_system.h"
#include "load_le.h"
#include "report.h"

namespace engine {

// ---- settings ----------------------------------------------------------------
/// First field of every message.
inline constexpr const char* program_name = "decompress";
/// The suffix of the files the engine is given; probed for when a name
/// without a suffix does not exist.
inline constexpr const char* default_suffix = ".gz";
/// A member header's time stamp is given to the output (when not 0).
inline constexpr bool use_stored_time = true;

// ---- per-file state (entry.cpp) ------------------------------------------------
constexpr std::size_t kNameBufferSize = 260;
extern char input_name[kNameBufferSize];
extern char output_name[kNameBufferSize];
extern fs::Handle input_handle, output_handle;
extern fs::FileStatus input_status;
extern std::time_t stored_time;
extern bool remove_output_on_abort;

// ---- container choice (container.cpp) ------------------------------------------
using member_decoder_fn = int (*)(fs::Handle input_handle, fs::Handle output_handle);
extern int member_method, member_count, final_member;
extern member_decoder_fn member_decoder;

// ---- shared buffers (buffers.cpp) -----------------------------------------------
// Static, for the life of the process; each decoder borrows them while it
// runs, and writes every entry before reading it.
//
// | buffer         | inflate (gzip, PKZIP)    | .Z (lzw.cpp)           | pack (pack.cpp) | LZH (lzh.cpp)       |
// |----------------|--------------------------|------------------------|-----------------|---------------------|
// | input_buffer   | input, through the byte  | input, compacted and   | input           | input               |
// |                | reader and fill_input    | refilled by itself     |                 |                     |
// | output_buffer  | -                        | output staging, 16 KiB | peek table      | lit/len code lengths|
// | sliding_window | circular 32 KiB window,  | last byte of every     | output window,  | 8 KiB output chunks |
// |                | output written above it  | table entry            | flushed at      | (the dictionary)    |
// |                | (see inflate.cpp)        |                        | 32 KiB          |                     |
// | prefix_table   | -                        | prefix of every entry  | -               | tree: left children |
// |                |                          |                        |                 | (low half), right   |
// |                |                          |                        |                 | (prefix_table_high) |
// | scratch_table  | -                        | string length of every | -               | lit/len look-up     |
// |                |                          | entry, one byte each   |                 |                     |
//
// Stored data (stored blocks and PKZIP stored entries) goes through
// sliding_window like inflate's output. inflate's code tables are its own.
constexpr std::size_t kInputBufferSize = 32768;
/// Room for the fewer than 64 unread bytes the .Z decoder keeps before its
/// own refill of up to kInputBufferSize bytes.
constexpr std::size_t kInputBufferSpare = 64;
/// Bytes past the data that a word-sized load may touch (and whose bits are
/// then discarded).
constexpr std::size_t kInputLoadSlack = 8;
constexpr std::size_t kOutputBufferSize = 16384;
constexpr std::size_t kOutputBufferSpare = 2048;
constexpr std::size_t kWindowSize = 32768;
/// Room above sliding_window's two halves for what one step of inflate's
/// fast loop may write past the upper half (see inflate.cpp).
constexpr std::size_t kWindowSlack = 512;

extern std::uint8_t input_buffer[kInputBufferSize + kInputBufferSpare + kInputLoadSlack];
extern std::uint8_t output_buffer[kOutputBufferSize + kOutputBufferSpare];
extern std::uint8_t sliding_window[2 * kWindowSize + kWindowSlack];
extern std::uint16_t prefix_table[65536];
extern std::uint16_t* const prefix_table_high;  // prefix_table + 32768
extern std::uint16_t scratch_table[32768];

extern std::uint32_t input_count;   // valid bytes in input_buffer
extern std::uint32_t input_pos;     // next unread byte
extern std::uint32_t output_start;  // where in sliding_window output is written: 0, or
                                    // kWindowSize while inflate runs
extern std::uint32_t output_count;  // bytes waiting there
extern std::uint32_t output_bytes;  // bytes flushed for the current member

void clear_buffers();
/// Refills input_buffer; the first byte, or -1 at the end when EOF_ALLOWED
/// (otherwise the end of input is fatal).
int fill_input(bool eof_allowed);
inline int next_input_byte() {
  return input_pos < input_count ? input_buffer[input_pos++] : fill_input(false);
}
/// Writes the waiting output (CRC-32 and output_bytes included).
void flush_sliding_window();
/// Copies COUNT input bytes to the waiting output in whole runs (stored
/// data); whenever 32 KiB are waiting, WHEN_FULL writes them.
void copy_input_to_window(std::uint32_t count, void (*when_full)() = flush_sliding_window);
void write_all(fs::Handle handle, const void* data, std::size_t count);

// ---- CRC-32 (crc.cpp) --------------------------------------------------------------
extern std::uint32_t crc_register;
/// Feeds COUNT bytes into crc_register and returns the finished CRC; with
/// DATA null it restarts the register.
std::uint32_t update_crc(const std::uint8_t* data, std::size_t count);

// ---- container recognition (container.cpp) ----------------------------------------
extern int pkzip_mode, pkzip_descriptor_follows, pkzip_encrypted;
int detect_container(fs::Handle input_handle);  // method, -1 refused, -2 trailing bytes
int check_zip_entry(fs::Handle input_handle);   // 0 accepted, 1 refused
void clear_pkzip_state();

// ---- file handling (entry.cpp) ----------------------------------------------------
void process_file(const char* name);
/// Removes the half-written output and ends the process (end_process).
[[noreturn]] void abort_engine();

// ---- member decoders ----------------------------------------------------------------
int gzip_member_decode(fs::Handle input_handle, fs::Handle output_handle);  // container.cpp
int decode_lzw(fs::Handle input_handle, fs::Handle output_handle);          // lzw.cpp
int decode_pack(fs::Handle input_handle, fs::Handle output_handle);         // pack.cpp
int decode_lzh(fs::Handle input_handle, fs::Handle output_handle);          // lzh.cpp

/// How the deflate data of a member ended (inflate.cpp).
enum class InflateResult {
  Ok,
  InvalidData,         // a length check, an invalid or incomplete code, ...
  ReservedBlockType,   // block type 3
  OversubscribedCode,  // code lengths that over-subscribe the code space
  OutOfMemory,         // a code table could not be allocated
};
InflateResult inflate_member();
/// The fatal message for a failed inflate_member.
const char* inflate_failure_text(InflateResult result);

}  // namespace engine
