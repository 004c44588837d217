#pragma once
/// The decompression engine's public face: one file at a time, in place.

namespace engine {

/// Decompresses NAME (a file path of at most 256 characters) into the same
/// name without its compression suffix, copies times and permission bits and
/// removes the input. Returns 0 (done, or skipped for want of a suffix),
/// 1 (error) or 2 (warning). Corrupt data ends the process with status 1
/// after removing the half-written output. One call at a time per process.
int decompress_file(const char* name);

}  // namespace engine
