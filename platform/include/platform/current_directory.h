#pragma once
/// The process's current directory: all names of the program are relative
/// to it (the directory the updater was started in).

#include <string>

namespace platform {

/// The current directory as a full path, or an empty string when it cannot
/// be read; the calling thread's last system error (LastSystemError) then
/// says why. GetCurrentDirectoryA into a buffer of 260 characters on
/// Windows (a longer path fails with ERROR_FILENAME_EXCED_RANGE); getcwd
/// elsewhere (a removed directory fails with ENOENT).
std::string CurrentDirectory();

/// DIRECTORY followed by NAME, with the platform's separator between them
/// unless DIRECTORY ends in one already (a drive's or the file system's root).
std::string JoinDirectory(const std::string& directory, const std::string& name);

}  // namespace platform
