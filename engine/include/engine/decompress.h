#pragma once
/// The decompression engine's public face: one file at a time, in place.

namespace engine {

/// Decompresses NAME (a file path of at most 256 characters) into the same
/// name without its compression suffix, copies times and permission bits and
/// removes the input. Returns 0 (done, or skipped for want of a suffix),
/// 1 (error) or 2 (warning). Corrupt data ends the process with status 1
/// after removing the half-written output. One call at a time per process.
int decompress_file(const char* name);

/// Removes from FOLDER (a host path, "." for the current directory) the
/// temporary files of calls that never finished because the process ended
/// meanwhile (killed, or the power went): regular files named ".decompress-"
/// followed by six letters or digits. A link or a folder of such a name
/// stays, nothing is removed through a link, and FOLDER itself is not
/// entered when it is a link. Returns how many files were removed, or -1
/// when FOLDER cannot be read. Not while a call of decompress_file runs.
int remove_leftovers(const char* folder);

}  // namespace engine
