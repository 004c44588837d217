#pragma once
/// File helpers for downloaded and temporary files. Names use the program's
/// backslash separators and are at most 259 characters; longer ones fail.

#include <cstddef>
#include <string>

#include "files/file.h"

namespace files {

/// The name inside the user's temporary directory ("\" and ".\" prefixes
/// dropped), or an empty string.
std::string MakeTempPath(const std::string& name);

/// The whole file at the program name NAME into BYTES; false when it cannot
/// be opened or read, or holds more than LIMIT bytes.
bool ReadSmallFile(const std::string& name, std::size_t limit, std::string& bytes);

/// Copies SOURCE (created empty when missing) unscrambled into DESTINATION,
/// replacing what it held. False when either cannot be opened.
bool UnscrambleFile(const std::string& source, const std::string& destination);

/// A new, empty file at PATH open for writing, or a closed File (errno says
/// why). What stood at the name is replaced: a file (a read-only one too)
/// or a link, which is never written through; a folder, pipe or device is
/// refused. Creates missing parent directories.
File OpenForWriteWithRetry(const std::string& path);

/// Creates the directory holding PATH (and what is missing above it); false
/// when it already existed or could not be made.
bool CreateParentDirectories(const std::string& path);

/// Moves SOURCE onto DESTINATION, replacing it; true when the move happened.
bool MoveFileWithRetry(const std::string& source, const std::string& destination);

}  // namespace files
