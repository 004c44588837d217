#pragma once
/// Putting written files on the disk before anything records them. After a
/// power cut a file system keeps what was flushed, in any order it likes:
/// File.ver must never name versions whose files are still only in memory
/// (they would come back empty, and the next run would call them up to date).

#include <string>
#include <vector>

namespace files {

/// Makes every file written so far into the folders HOSTFOLDERS, and the
/// names given to them, durable. On Linux: one syncfs of each file system
/// the folders lie on, which costs one flush however many files there are.
/// On Windows the engine has flushed each installed file and written its
/// rename through already, so nothing is left to do. False when the system
/// reports that something could not be written (or a folder cannot be
/// opened).
bool MakeDurable(const std::vector<std::string>& hostFolders);

}  // namespace files
