#include "files/file_helpers.h"

#include <cerrno>
#include <cstdio>

#include "files/scramble.h"
#include "native_file.h"
#include "platform/paths.h"

namespace files {

namespace {

using native::Failure;

constexpr std::size_t kBlockSize = 256;

/// How often a write or move is tried again after making the target
/// writable, while the failure stays "permission denied".
constexpr int kPermissionRetries = 3;

bool TooLong(const std::string& path) {
  if (path.size() <= platform::kMaxPath) return false;
  native::RecordNameTooLong();
  return true;
}

}  // namespace

std::string MakeTempPath(const std::string& name) {
  const std::string dir = platform::UserTempDirectory();
  if (dir.empty() || dir.size() >= platform::kMaxPath + 1) return {};
  std::string_view rest(name);
  if (rest.substr(0, 1) == "\\") rest.remove_prefix(1);
  if (rest.substr(0, 2) == ".\\") rest.remove_prefix(2);
  std::string path = dir + std::string(rest);
  if (path.size() > platform::kMaxPath) return {};
  return path;
}

bool ReadSmallFile(const std::string& name, std::size_t limit, std::string& bytes) {
  File file = File::Open(platform::HostPath(name), File::Mode::ReadExisting);
  if (!file.IsOpen()) return false;
  bytes.clear();
  char block[8192];
  for (;;) {
    const long got = file.Read(block, sizeof block);
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(block, static_cast<std::size_t>(got));
    if (bytes.size() > limit) return false;
  }
}

bool UnscrambleFile(const std::string& source, const std::string& destination) {
  if (TooLong(source) || TooLong(destination)) return false;
  File in = File::Open(platform::HostPath(source), File::Mode::ReadOrCreate);
  if (!in.IsOpen()) return false;
  // The destination is replaced, never merged with an older, longer list, and
  // a symbolic link planted in its place is not followed.
  File out = File::Open(platform::HostPath(destination), File::Mode::ReplaceShared);
  if (!out.IsOpen()) return false;
  bool written = true;
  char block[kBlockSize + 1];
  for (;;) {
    const long got = in.Read(block, kBlockSize);
    if (got <= 0) break;  // a read error ends the copy like the end of the file
    block[got] = '\0';
    UnscrambleText(block);
    if (!out.WriteAll(block, static_cast<std::size_t>(got))) {
      written = false;
      break;
    }
  }
  in.Close();
  if (!out.Close()) written = false;
  return written;
}

File OpenForWriteWithRetry(const std::string& path) {
  if (TooLong(path)) return File();
  const std::string host = platform::HostPath(path);
  File file = File::Open(host, File::Mode::ReplaceName);
  for (int retry = 0; !file.IsOpen() && errno == EACCES && retry < kPermissionRetries; ++retry) {
    native::MakeWritable(host);
    file = File::Open(host, File::Mode::ReplaceName);
  }
  if (file.IsOpen()) return file;
  if (errno == ENOENT && CreateParentDirectories(path)) return File::Open(host, File::Mode::ReplaceName);
  return File();
}

bool CreateParentDirectories(const std::string& path) {
  if (TooLong(path)) return false;
  const std::size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return false;
  const std::string parent = path.substr(0, separator);
  const std::string host = platform::HostPath(parent);
  Failure failure = Failure::None;
  if (native::MakeDirectory(host, failure)) return true;
  if (failure == Failure::PathNotFound && CreateParentDirectories(parent))
    return native::MakeDirectory(host, failure);
  return false;
}

bool MoveFileWithRetry(const std::string& source, const std::string& destination) {
  if (TooLong(source) || TooLong(destination)) return false;
  const std::string from = platform::HostPath(source);
  const std::string to = platform::HostPath(destination);
  Failure failure = Failure::None;
  if (native::MoveReplacing(from, to, failure)) return true;
  for (int retry = 0; failure == Failure::AccessDenied && retry < kPermissionRetries; ++retry) {
    native::MakeWritable(to);
    if (native::MoveReplacing(from, to, failure)) return true;
  }
  // A missing source is no reason to create directories; a missing
  // destination folder is.
  if (failure == Failure::PathNotFound && native::Exists(from) && CreateParentDirectories(destination))
    return native::MoveReplacing(from, to, failure);
  return false;
}

}  // namespace files
