#include "store_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

namespace server::store {

void Fd::Close(const std::string& path) {
  const int fd = Release();
  if (fd >= 0 && ::close(fd) != 0) ThrowSystem(path);
}

void ThrowSystem(const std::string& what) { throw StoreError(what + ": " + std::strerror(errno)); }

void WriteAll(int fd, const void* data, std::size_t size, const std::string& path) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystem(path);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void WriteDurably(const std::string& path, std::string_view data, const timespec* modified) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) ThrowSystem(path);
  WriteAll(fd.get(), data.data(), data.size(), path);
  if (modified != nullptr) {
    const timespec times[2] = {{0, UTIME_OMIT}, *modified};
    if (::futimens(fd.get(), times) != 0) ThrowSystem(path);
  }
  if (::fsync(fd.get()) != 0) ThrowSystem(path);
  fd.Close(path);
}

void SyncDirectory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) ThrowSystem(dir);
}

void CreateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) ThrowSystem(path);
}

std::string ReadWholeFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) ThrowSystem(path);
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystem(path);
    }
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

StoreLock::StoreLock(const std::string& root) {
  const std::string path = root + "/lock";
  fd_ = Fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (fd_.get() < 0) ThrowSystem(path);
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      throw StoreError(root + ": another publish or notice change is running on this store");
    }
    ThrowSystem(path);
  }
}

namespace {

template <typename Int>
bool ParseNumber(std::string_view text, Int& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

/// Splits off the first blank-separated word of REST.
std::string_view NextWord(std::string_view& rest) {
  const std::size_t blank = rest.find(' ');
  const std::string_view word = rest.substr(0, blank);
  rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  return word;
}

/// Calls LINE for each line of TEXT that is neither empty nor a comment.
template <typename Line>
void ForEachLine(std::string_view text, Line line) {
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view one = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (!one.empty() && one.back() == '\r') one.remove_suffix(1);
    if (one.empty() || one.front() == '#') continue;
    line(one, number);
  }
}

[[noreturn]] void ThrowDamaged(const std::string& path, int line, const std::string& why) {
  throw StoreError(path + ":" + std::to_string(line) + ": " + why);
}

}  // namespace

namespace {

/// The first release folder ("major/1") under ROOT, or empty when it holds none.
std::string AnyRelease(const std::string& root) {
  for (int kind = 0; kind < kKinds; ++kind) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/" + KindName(kind), error)) {
      const std::string name = entry.path().filename().string();
      if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        return std::string(KindName(kind)) + "/" + name;
      }
    }
  }
  return {};
}

}  // namespace

void RefuseLostState(const std::string& root) {
  const std::string path = root + "/" + kStateFile;
  if (::access(path.c_str(), F_OK) == 0 || errno != ENOENT) return;
  if (const std::string release = AnyRelease(root); !release.empty()) {
    throw StoreError(path + " is missing although the store holds releases (" + release +
                     "); restore it from a backup");
  }
}

StoreState ReadStateToChange(const std::string& root) {
  RefuseLostState(root);
  return ReadState(root);
}

StoreState ReadState(const std::string& root) {
  const std::string path = root + "/" + kStateFile;
  StoreState state;
  if (::access(path.c_str(), F_OK) != 0) {
    if (errno == ENOENT) return state;
    ThrowSystem(path);
  }
  bool sawFormat = false;
  ForEachLine(ReadWholeFile(path), [&](std::string_view line, int number) {
    const std::string_view key = NextWord(line);
    if (key == "format") {
      if (line != "1") ThrowDamaged(path, number, "unknown store format " + std::string(line));
      sawFormat = true;
    } else if (int kind; ParseKind(key, kind)) {
      if (!ParseNumber(line, state.counters[kind])) ThrowDamaged(path, number, "bad version");
    } else if (key == "notice") {
      if (line == "none") return;
      const std::string_view stamp = NextWord(line);
      if (!ParseNumber(stamp, state.noticeStamp) || state.noticeStamp <= 0 || line.empty()) {
        ThrowDamaged(path, number, "bad notice line");
      }
      state.noticePath = std::string(line);
    } else if (key == "last-stamp") {
      if (!ParseNumber(line, state.lastStamp)) ThrowDamaged(path, number, "bad last-stamp");
    } else {
      ThrowDamaged(path, number, "unknown line");
    }
  });
  if (!sawFormat) throw StoreError(path + ": not a store state file (no format line)");
  return state;
}

std::string FormatState(const StoreState& state) {
  std::string text =
      "# The state in force of this update store. update-server replaces this file\n"
      "# as a whole when it publishes; do not edit it by hand.\n"
      "format 1\n";
  for (int kind = 0; kind < kKinds; ++kind) {
    text += std::string(KindName(kind)) + " " + std::to_string(state.counters[kind]) + "\n";
  }
  if (state.noticeStamp == 0) {
    text += "notice none\n";
  } else {
    text += "notice " + std::to_string(state.noticeStamp) + " " + state.noticePath + "\n";
  }
  text += "last-stamp " + std::to_string(state.lastStamp) + "\n";
  return text;
}

timespec StateTime(const std::string& root) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct stat st {};
  const std::string path = root + "/" + kStateFile;
  if (::stat(path.c_str(), &st) != 0) return now;
  if (now.tv_sec > st.st_mtim.tv_sec) return now;
  return {st.st_mtim.tv_sec + 1, 0};
}

void InstallNewState(const std::string& root) {
  const std::string from = root + "/" + kStateFile + ".new";
  const std::string to = root + "/" + kStateFile;
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowSystem(to);
}

std::string ReleaseFolder(int kind, std::uint32_t version) {
  return std::string(KindName(kind)) + "/" + std::to_string(version);
}

std::string ManifestPath(int kind, std::uint32_t version) {
  return ReleaseFolder(kind, version) + "/manifest";
}

std::string NoticePath(std::int32_t stamp) { return "notice/" + std::to_string(stamp) + ".html"; }

std::string StoredName(std::string_view name) {
  std::string path = "files/";
  for (char c : name) path += c == '\\' ? '/' : c;
  return path + ".gz";
}

std::string FormatManifest(const Release& release) {
  std::string text = "# " + std::string(KindName(release.kind)) + " version " +
                     std::to_string(release.version) + " of this update store\n";
  text += "published " + std::to_string(release.publishedAt) + "\n";
  text += "# file GZIP-BYTES ORIGINAL-BYTES NAME (stored as files/NAME.gz)\n";
  for (const StoredFile& f : release.files) {
    text +=
        "file " + std::to_string(f.gzipBytes) + " " + std::to_string(f.originalBytes) + " " + f.name + "\n";
  }
  return text;
}

Release ParseManifest(const std::string& root, int kind, std::uint32_t version, bool requireFiles) {
  const std::string folder = ReleaseFolder(kind, version);
  const std::set<std::string> pruned = ReadPruned(root, folder);
  const std::string path = root + "/" + ManifestPath(kind, version);
  Release release;
  release.kind = kind;
  release.version = version;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) ThrowSystem(path);
  release.manifestDevice = st.st_dev;
  release.manifestInode = st.st_ino;
  release.manifestModified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  ForEachLine(ReadWholeFile(path), [&](std::string_view line, int number) {
    const std::string_view key = NextWord(line);
    if (key == "published") {
      if (!ParseNumber(line, release.publishedAt)) ThrowDamaged(path, number, "bad time");
      return;
    }
    if (key != "file") ThrowDamaged(path, number, "unknown line");
    StoredFile file;
    if (!ParseNumber(NextWord(line), file.gzipBytes) ||
        file.gzipBytes > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) ||
        !ParseNumber(NextWord(line), file.originalBytes)) {
      ThrowDamaged(path, number, "bad sizes");
    }
    file.name = std::string(line);
    if (const char* why = CheckServedName(file.name)) ThrowDamaged(path, number, why);
    if (pruned.count(file.name) != 0) {
      release.files.push_back(std::move(file));  // a newer release changed it again
      return;
    }
    file.path = folder + "/" + StoredName(file.name);
    if (!requireFiles) {
      release.files.push_back(std::move(file));
      return;
    }
    const std::string stored = root + "/" + file.path;
    struct stat fs {};
    if (::stat(stored.c_str(), &fs) != 0) ThrowSystem(stored);
    if (!S_ISREG(fs.st_mode) || static_cast<std::uint64_t>(fs.st_size) != file.gzipBytes) {
      throw StoreError(stored + ": " + std::to_string(fs.st_size) + " bytes, the manifest says " +
                       std::to_string(file.gzipBytes));
    }
    release.files.push_back(std::move(file));
  });
  return release;
}

std::string FormatChecksums(const Release& release) {
  std::string text =
      "# CRC-32 of each stored gzip stream as published; update-server check compares them\n"
      "# crc32 HEX NAME\n";
  char hex[16];
  for (const StoredFile& f : release.files) {
    std::snprintf(hex, sizeof hex, "%08x", f.storedCrc);
    text += "crc32 " + std::string(hex) + " " + f.name + "\n";
  }
  return text;
}

namespace {

/// The text of an optional file of a release folder; empty when it is missing.
std::string ReadOptional(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return {};
  return ReadWholeFile(path);
}

}  // namespace

std::map<std::string, std::uint32_t> ReadChecksums(const std::string& root, const std::string& folder) {
  const std::string path = root + "/" + folder + "/" + kChecksumsFile;
  std::map<std::string, std::uint32_t> sums;
  ForEachLine(ReadOptional(path), [&](std::string_view line, int number) {
    std::uint32_t crc = 0;
    const std::string_view key = NextWord(line);
    const std::string_view hex = NextWord(line);
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), crc, 16);
    if (key != "crc32" || hex.size() != 8 || error != std::errc() || end != hex.data() + hex.size() ||
        line.empty()) {
      ThrowDamaged(path, number, "bad checksum line");
    }
    sums[std::string(line)] = crc;
  });
  return sums;
}

std::set<std::string> ReadPruned(const std::string& root, const std::string& folder) {
  std::set<std::string> names;
  ForEachLine(ReadOptional(root + "/" + folder + "/" + kPrunedFile),
              [&](std::string_view line, int) { names.emplace(line); });
  return names;
}

void WritePruned(const std::string& root, const std::string& folder, const std::set<std::string>& names) {
  std::string text =
      "# Files this release changed whose copies update-server prune removed: a newer\n"
      "# release changed them again, and no state of the store sends this copy.\n";
  for (const std::string& name : names) text += name + "\n";
  const std::string path = root + "/" + folder + "/" + kPrunedFile;
  WriteDurably(path + ".new", text);
  if (::rename((path + ".new").c_str(), path.c_str()) != 0) ThrowSystem(path);
  SyncDirectory(root + "/" + folder);
}

}  // namespace server::store
