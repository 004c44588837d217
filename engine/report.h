#pragma once
// How the engine tells what went wrong, all on standard error:
//  - a refusal (the file is left as it is, the call returns 1);
//  - a warning (the call returns 2 unless an error was recorded); the engine
//    runs quietly, so warnings are counted, not printed;
//  - a fatal error, which removes the half-written output and ends the
//    process with status 1 (abort_engine, entry.cpp).

namespace engine {

/// Records a warning (result 2) without ever downgrading an error.
void set_warning();

/// A warning with its message (not printed while the engine runs quietly).
[[gnu::format(printf, 1, 2)]] void warn(const char* format, ...);

/// A refusal: prints FORMAT with its arguments and records the error.
[[gnu::format(printf, 1, 2)]] void refuse(const char* format, ...);

/// A refusal after a failed system call: prints "NAME: <text for errno>\n",
/// after "decompress: " when WITH_PROGRAM_NAME, and records the error.
void refuse_system_error(const char* name, bool with_program_name);

/// Prints "NAME: <text for errno>\n".
void print_system_error(const char* name);

/// The fatal text when a member decodes to another length than it says
/// (gzip and PKZIP trailers, pack headers).
inline constexpr const char* kLengthErrorText = "invalid compressed data--length error";

/// "\ndecompress: INPUT: TEXT\n", then the engine ends.
[[noreturn]] void report_error(const char* text);
/// The input could not be read (or ended where a byte was required).
[[noreturn]] void report_read_error();
/// The output could not be written.
[[noreturn]] void report_write_error();

}  // namespace engine
