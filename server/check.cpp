#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "server/signing.h"
#include "server/store_upkeep.h"
#include "session/wire.h"
#include "store_files.h"

namespace server {

namespace {

using Decompressor = std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)>;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

/// Why DATA is not the gzip stream of ORIGINALBYTES that publish wrote (one
/// member or several, nothing after the last), or empty when it is.
std::string DecodeAll(const std::string& data, std::uint64_t originalBytes, libdeflate_decompressor* d) {
  if (data.empty()) return "empty, not a gzip stream";
  std::vector<std::uint8_t> out;
  std::uint64_t total = 0;
  for (std::size_t offset = 0; offset < data.size();) {
    const std::uint64_t left = originalBytes - std::min(total, originalBytes);
    std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(left, 64u << 20)) + 1;
    for (;;) {
      out.resize(room);
      std::size_t in = 0, made = 0;
      const libdeflate_result r = libdeflate_gzip_decompress_ex(d, data.data() + offset, data.size() - offset,
                                                                out.data(), room, &in, &made);
      if (r == LIBDEFLATE_INSUFFICIENT_SPACE) {
        if (room > left)
          return "decodes to more bytes than the manifest says (" + std::to_string(originalBytes) + ")";
        room = static_cast<std::size_t>(std::min<std::uint64_t>(std::uint64_t{room} * 2, left + 1));
        continue;
      }
      if (r != LIBDEFLATE_SUCCESS) {
        return "not a sound gzip stream from byte " + std::to_string(offset) + " (damaged data or CRC)";
      }
      offset += in;
      total += made;
      break;
    }
  }
  if (total != originalBytes) {
    return "decodes to " + std::to_string(total) + " bytes, the manifest says " +
           std::to_string(originalBytes);
  }
  return {};
}

/// Why the stored stream of F at PATH is not as published, or empty when it is.
std::string CheckStream(const std::string& path, const StoredFile& f,
                        const std::map<std::string, std::uint32_t>& sums, libdeflate_decompressor* d) {
  store::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? "missing" : std::strerror(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (static_cast<std::uint64_t>(st.st_size) != f.gzipBytes) {
    return std::to_string(st.st_size) + " bytes, the manifest says " + std::to_string(f.gzipBytes);
  }
  const auto sum = sums.find(f.name);
  if (sum == sums.end()) {  // published before checksums were recorded
    try {
      return DecodeAll(store::ReadWholeFile(path), f.originalBytes, d);
    } catch (const StoreError& e) {
      return e.what();
    }
  }
  std::uint32_t crc = 0;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::strerror(errno);
    }
    if (n == 0) break;
    crc = libdeflate_crc32(crc, chunk.data(), static_cast<std::size_t>(n));
  }
  if (crc != sum->second) return "CRC-32 " + Hex(crc) + ", publish recorded " + Hex(sum->second);
  return {};
}

}  // namespace

CheckResult CheckStore(const std::string& root) {
  const store::StoreState state = store::ReadState(root);
  Decompressor decompressor(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  if (!decompressor) throw StoreError("out of memory for the decompressor");
  CheckResult result;
  std::vector<Release> releases;  // those that could be read, oldest first per kind
  for (int kind = 0; kind < kKinds; ++kind) {
    for (std::uint32_t v = 1; v <= state.counters[kind]; ++v) {
      Release& release = releases.emplace_back();
      std::map<std::string, std::uint32_t> sums;
      try {
        release = store::ParseManifest(root, kind, v, false);
        sums = store::ReadChecksums(root, store::ReleaseFolder(kind, v));
      } catch (const StoreError& e) {
        result.damaged.push_back(e.what());
        releases.pop_back();
        continue;
      }
      for (const StoredFile& f : release.files) {
        if (f.path.empty()) continue;  // pruned
        ++result.checked;
        const std::string why = CheckStream(root + "/" + f.path, f, sums, decompressor.get());
        if (!why.empty()) result.damaged.push_back(f.path + ": " + why);
      }
    }
  }
  std::map<std::string, const StoredFile*> newest;
  for (const Release& release : releases) {
    for (const StoredFile& f : release.files) newest[f.name] = &f;
  }
  for (std::string& line : CheckSignedState(root, state.counters, newest, result.written)) {
    result.damaged.push_back(std::move(line));
  }
  if (state.noticeStamp != 0) {
    ++result.checked;
    struct stat st {};
    const std::string path = root + "/" + state.noticePath;
    if (::stat(path.c_str(), &st) != 0) {
      result.damaged.push_back(state.noticePath + ": " +
                               (errno == ENOENT ? "missing" : std::strerror(errno)));
    } else if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > session::kMaxNoticeLength) {
      result.damaged.push_back(state.noticePath + ": not a notice page the updater can take");
    }
  }
  return result;
}

}  // namespace server
