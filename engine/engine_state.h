#pragma once
// The engine's state in one place. EngineState holds everything the engine
// keeps between its routines: the call's result, the file being decoded,
// the member's container, the shared buffers and their counters, the CRC
// register, why inflate last refused its data, and the member state of the
// pack and LZH decoders. Each field says what it holds, its bounds, and who
// uses it. There is one
// object, `state`, in static storage: the engine allocates nothing for it,
// per file or ever. One file is decoded at a time, by one thread; nothing
// here is guarded.
//
// The object starts all zero (so that it costs the executable no bytes on
// disk); decompress_file marks both handles as closed before it looks at a
// file. Every decoder sets the fields it reads before it reads them.
//
// Not here: constant tables; the processor-feature choices made once per
// process (crc.cpp, inflate.cpp); inflate's code tables, which belong to the
// block being decoded (inflate.cpp); the test seam's own bookkeeping (seam.h).

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

// ---- sizes -------------------------------------------------------------------
constexpr std::size_t kNameBufferSize = 260;
/// The temporary file the output is decoded into: the output's directory
/// followed by a name of this pattern's length (entry.cpp).
inline constexpr char kTempPattern[] = ".decompress-XXXXXX";

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
constexpr std::size_t kPrefixTableSize = 65536;
/// The LZH decoder's right children start here in prefix_table.
constexpr std::size_t kPrefixTableHalf = kPrefixTableSize / 2;
constexpr std::size_t kScratchTableSize = 32768;

/// Pack: the longest code a member may declare, and the most leaf bytes.
constexpr int kPackLongestCode = 25;
constexpr int kPackMostLeaves = 256;
/// LZH: symbols of the length-code set (the larger short set), and the
/// index width of the short sets' look-up table.
constexpr unsigned kLzhLengthCodeSymbols = 19;
constexpr int kLzhShortTableBits = 8;

using member_decoder_fn = int (*)(fs::Handle input_handle, fs::Handle output_handle);

/// How the deflate data of a member ended (inflate.cpp): Ok, or the check
/// that refused it. Every refusal ends the engine with the same message
/// ("out of memory" for OutOfMemory, "format violated" for the rest, see
/// inflate_failure_text); the reason lets a test tell the checks apart.
enum class InflateResult : std::uint8_t {
  Ok,
  StoredLengthMismatch,          // a stored block's length and its complement disagree
  ReservedBlockType,             // block type 3
  TooManyLiteralCodes,           // a dynamic block declares more than 286
  TooManyDistanceCodes,          // a dynamic block declares more than 30
  OversubscribedCodeLengthCode,  // lengths that over-subscribe the code space ...
  OversubscribedLiteralCode,
  OversubscribedDistanceCode,
  IncompleteCodeLengthCode,  // lengths that leave code space free
  IncompleteLiteralCode,
  IncompleteDistanceCode,
  InvalidCodeLengthSymbol,  // bits that no code-length code has
  RepeatPastEnd,            // a repeat or zero run past the declared number of lengths
  InvalidLiteralCode,       // bits that no literal/length code has (or 286, 287)
  InvalidDistanceCode,      // bits that no distance code has (or 30, 31)
  OutOfMemory,              // a code table could not be allocated
};

/// The pack decoder's member state (pack.cpp), read from the member's
/// header and the code description that follows it.
struct PackState {
  /// The decoded length the header announces; compared with output_bytes
  /// at the end.
  std::uint32_t expected_length;
  /// L, the longest code length: 1 to kPackLongestCode.
  int longest;
  /// P = min(L, 12): the bits one look-up in the peek table resolves.
  int peek_bits;
  /// Leaves of each code length [1..L]; [L] includes the end code.
  int leaf_count[kPackLongestCode + 1];
  /// Internal nodes of each code length [1..L]: they take the lowest code
  /// values of their length.
  int parent_count[kPackLongestCode + 1];
  /// Where in leaf_bytes the leaves of each length [1..L] start, less that
  /// length's parents, so that a code's value indexes its leaf directly.
  int literal_base[kPackLongestCode + 1];
  /// The leaf bytes in code order: up to kPackMostLeaves, and one more for
  /// length L than its count says.
  std::uint8_t leaf_bytes[kPackMostLeaves + 1];
};

/// The LZH decoder's member state (lzh.cpp). Its larger tables live in the
/// shared buffers (see the table in EngineState).
struct LzhState {
  /// The next 16 input bits, the first on top.
  std::uint16_t bit_window;
  /// The input byte being shifted into bit_window (0 once the input ended),
  /// and how many of its bits are not there yet (0 to 8).
  unsigned pending_byte;
  int pending_bits;
  /// The input is used up: zero bits are read from now on.
  bool input_ended;
  /// Symbols left in the current block (0 to 65,535); 0 reads the next
  /// block's header.
  unsigned symbols_left;
  /// A match that did not fit into the last chunk: bytes still to copy (up
  /// to 256; -1 or 0 when none) and where it continues in the 8 KiB
  /// dictionary (0 to 8,191).
  int match_left;
  unsigned match_source;
  /// The block count 0, the end of the data, was read.
  bool end_of_data;
  /// Code lengths (0 to 16) and look-up table of the current short set. The
  /// two short sets share them: the length-code set is only needed until
  /// the literal/length lengths are read. A table entry is a symbol, or the
  /// tree node in prefix_table where a longer code continues.
  std::uint8_t short_lengths[kLzhLengthCodeSymbols];
  std::uint16_t short_table[1u << kLzhShortTableBits];
};

/// Everything the engine keeps between its routines.
struct EngineState {
  // ---- shared buffers (buffers.cpp) ------------------------------------------------
  // Each decoder borrows them while it runs, and writes every entry before
  // reading it:
  //
  // | buffer         | inflate (gzip, PKZIP)   | .Z (lzw.cpp)          | pack.cpp       | LZH (lzh.cpp)     |
  // |----------------|-------------------------|-----------------------|----------------|-------------------|
  // | input_buffer   | input, through the byte | input, compacted and  | input          | input             |
  // |                | reader and fill_input   | refilled by itself    |                |                   |
  // | output_buffer  | -                       | staged output, 16 KiB | peek table     | lit/len lengths   |
  // | sliding_window | circular 32 KiB window, | last byte of every    | output window, | 8 KiB output      |
  // |                | output written above it | table entry           | flushed at     | chunks (the       |
  // |                | (see inflate.cpp)       |                       | 32 KiB         | dictionary)       |
  // | prefix_table   | -                       | prefix of every entry | -              | tree: left child- |
  // |                |                         |                       |                | ren (low half),   |
  // |                |                         |                       |                | right (high half) |
  // | scratch_table  | -                       | each entry's string   | -              | lit/len look-up   |
  // |                |                         | length, one byte each |                |                   |
  //
  // Stored data (stored blocks and PKZIP stored entries) goes through
  // sliding_window like inflate's output. inflate's code tables are its own.
  alignas(64) std::uint8_t input_buffer[kInputBufferSize + kInputBufferSpare + kInputLoadSlack];
  alignas(64) std::uint8_t output_buffer[kOutputBufferSize + kOutputBufferSpare];
  alignas(64) std::uint8_t sliding_window[2 * kWindowSize + kWindowSlack];
  alignas(64) std::uint16_t prefix_table[kPrefixTableSize];
  alignas(64) std::uint16_t scratch_table[kScratchTableSize];

  /// Valid bytes in input_buffer: up to kInputBufferSize after fill_input,
  /// up to that plus kInputBufferSpare in the .Z decoder's own refills.
  std::uint32_t input_count;
  /// The next unread byte of input_buffer, 0 to input_count.
  std::uint32_t input_pos;
  /// Where in sliding_window output waits to be written: 0, or kWindowSize
  /// while inflate runs (it writes into the upper half).
  std::uint32_t output_start;
  /// Bytes waiting there, 0 to kWindowSize.
  std::uint32_t output_count;
  /// Bytes written for the current member, modulo 2^32 as the gzip trailer
  /// counts them; the length checks of gzip, PKZIP and pack compare it.
  std::uint32_t output_bytes;

  // ---- CRC-32 (crc.cpp) ----------------------------------------------------------
  /// The register, pre-inverted; restarted by every gzip or PKZIP member and
  /// fed by the window flush.
  std::uint32_t crc_register;

  // ---- the call and the file (entry.cpp, report.h) -------------------------------
  /// The call's result: 0 ok, 1 error, 2 warning. decompress_file sets it to
  /// 0; an error is never downgraded to a warning (set_warning).
  int result_code;
  /// The input's name as used: the caller's, perhaps with a probing suffix
  /// appended (at most kNameBufferSize - 1 characters). Every message about
  /// the data names it.
  char input_name[kNameBufferSize];
  /// The output's final name: input_name without its suffix, shortened
  /// while the file system calls it too long.
  char output_name[kNameBufferSize];
  /// The temporary file beside output_name that the output is decoded into.
  char temp_name[kNameBufferSize + sizeof kTempPattern];
  /// Counts the temporary names tried; never reset, so that names differ
  /// from call to call.
  std::uint32_t temp_sequence;
  /// The open input and temporary output, -1 while closed. The decoders
  /// read the input through input_buffer; the .Z decoder also refills it
  /// itself.
  fs::Handle input_handle, output_handle;
  /// The input's status as opened; its times and permission bits go to the
  /// output.
  fs::FileStatus input_status;
  /// The output's modification time: the input's, replaced by every gzip
  /// header's non-zero time stamp (container.cpp).
  std::time_t stored_time;
  /// Set while temp_name holds an unfinished output, which a fatal error
  /// then removes (abort_engine).
  bool remove_output_on_abort;

  // ---- the member's container (container.cpp) ------------------------------------
  /// The member's method: 8 deflate, 0 stored (PKZIP), 1 .Z, 2 pack, 3 LZH;
  /// -1 once a header is refused or a member fails, -2 for trailing data.
  int member_method;
  /// Headers read in this file (zeroed per file): only the first may be a
  /// PKZIP header, and only a bad first one is refused rather than ignored
  /// as trailing data.
  int member_count;
  /// No member may follow this one (.Z, LZH, a PKZIP entry).
  bool final_member;
  /// The member's decoder: gzip_member_decode, decode_lzw, decode_pack or
  /// decode_lzh.
  member_decoder_fn member_decoder;
  /// The file is a PKZIP file; its entry's CRC and lengths follow the data
  /// in a descriptor; the entry is encrypted (never set, as encrypted
  /// entries are refused). Cleared with every file and every finished entry.
  bool pkzip_mode, pkzip_descriptor_follows, pkzip_encrypted;

  // ---- member decoders -----------------------------------------------------------
  /// Why inflate refused the last member's data (Ok when it did not); set
  /// by inflate_member, for tests, which see only the one message every
  /// refusal prints.
  InflateResult inflate_result;
  PackState pack;
  LzhState lzh;
};

/// The engine's one state object (engine_state.cpp).
extern EngineState state;

void clear_buffers();
/// Refills input_buffer; the first byte, or -1 at the end when EOF_ALLOWED
/// (otherwise the end of input is fatal).
int fill_input(bool eof_allowed);
inline int next_input_byte() {
  return state.input_pos < state.input_count ? state.input_buffer[state.input_pos++] : fill_input(false);
}
/// Writes the waiting output (CRC-32 and output_bytes included).
void flush_sliding_window();
/// Copies COUNT input bytes to the waiting output in whole runs (stored
/// data); whenever 32 KiB are waiting, WHEN_FULL writes them.
void copy_input_to_window(std::uint32_t count, void (*when_full)() = flush_sliding_window);
void write_all(fs::Handle handle, const void* data, std::size_t count);

// ---- CRC-32 (crc.cpp) --------------------------------------------------------------
/// Feeds COUNT bytes into crc_register and returns the finished CRC; with
/// DATA null it restarts the register.
std::uint32_t update_crc(const std::uint8_t* data, std::size_t count);

// ---- container recognition (container.cpp) ----------------------------------------
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

/// Decodes the deflate data of one member (inflate.cpp); records its result
/// in state.inflate_result.
InflateResult inflate_member();
/// The fatal message for a failed inflate_member.
const char* inflate_failure_text(InflateResult result);

}  // namespace engine
