#pragma once
// Every call the engine makes to the operating system's file functions, in
// one small seam: fs_posix.cpp implements it for POSIX systems, fs_windows.cpp
// for Windows, and the build links the one for its platform.
//
// The functions follow the C library's convention: a handle or 0 for
// success, -1 for failure with errno set (the Windows side maps its system
// errors onto errno values), so that the engine reports every failure with
// the same strerror text. Each also asks injected_failure (seam.h) first,
// which is how tests make a write, close or rename fail.

#include <cstddef>
#include <cstdint>

namespace engine::fs {

using Handle = int;

struct FileTime {
  std::int64_t seconds = 0;
  long nanoseconds = 0;
};

enum class FileKind { Regular, Directory, Link, Other };

/// What the engine needs of a file's status record.
struct FileStatus {
  FileKind kind = FileKind::Other;
  std::uint64_t device = 0, inode = 0;
  unsigned mode = 0;  // file-type and permission bits as the platform gives them
  std::uint64_t owner = 0, group = 0;
  std::int64_t size = 0;
  FileTime access, modification, change;

  /// The 12 permission bits (set-user, set-group, sticky, rwx for all three).
  unsigned permissions() const { return mode & 07777; }
};

/// True for a character that separates directories in a name.
bool is_separator(char c);

/// The status of NAME itself: a symbolic link is reported as a link, not
/// followed. Directories in the path are followed as usual.
int query(const char* name, FileStatus* status);

/// Opens NAME for reading without following a link in its last component
/// and without blocking on anything that is not a regular file (a FIFO);
/// STATUS receives the status of what was opened.
Handle open_input(const char* name, FileStatus* status);

/// Creates NAME for writing, owner read and write only; fails if anything
/// exists under that name, a link included (nothing is written through it).
Handle create_new(const char* name);

long read(Handle handle, void* data, std::size_t count);
long write(Handle handle, const void* data, std::size_t count);
int close(Handle handle);

/// Puts the finished output's data on the disk before it is renamed into
/// place, where the platform needs it per file: Windows flushes the file
/// (and replace() writes the rename through). POSIX does nothing here: the
/// installation makes all its files durable at once (files/durability.h),
/// one flush of the file system instead of one per file.
int flush(Handle handle);

/// Gives the open file's permission bits (the 12 bits of MODE). NAME is the
/// file's name, for platforms that set attributes by name.
int set_mode(Handle handle, const char* name, unsigned mode);

/// Sets the open file's access and modification times.
int set_times(Handle handle, const FileTime& access, const FileTime& modification);

/// Renames FROM to TO in one step, replacing whatever TO is (a link there is
/// replaced, not followed; a read-only file is replaced too).
int replace(const char* from, const char* to);

/// Deletes every regular file of FOLDER whose name SELECT accepts: neither
/// a link nor a folder, and FOLDER itself is not entered when it is a link.
/// The number deleted, or -1 when FOLDER cannot be read.
int remove_files_in(const char* folder, bool (*select)(const char* name));

/// Deletes NAME (a link itself, not what it points to). Changes no
/// permission bits: a deletion needs none on the file, and a change would
/// reach every other name of the same file.
int remove(const char* name);

}  // namespace engine::fs
