#include "session/download_check.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "files/file_helpers.h"
#include "files/version_file.h"
#include "platform/paths.h"
#include "trust/keys.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace session {

namespace {

constexpr std::size_t kGzipHeaderSize = 10;
constexpr std::size_t kGzipTrailerSize = 8;
/// Header, trailer and five bytes per stored block of at most 65,535 bytes.
std::size_t StoredStreamLimit(std::size_t contentLimit) {
  return kGzipHeaderSize + kGzipTrailerSize + contentLimit + 5 * (contentLimit / 65535 + 1);
}

/// The gzip trailer's CRC-32 (the reflected polynomial 0xEDB88320), for the
/// two small streams read here; the engine keeps its own for everything else.
std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t Le32(std::string_view bytes, std::size_t at) {
  return GetU32(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
}

const ReceivedStream* FindSent(const SessionOutcome& outcome, std::string_view sentName) {
  for (const ReceivedStream& stream : outcome.streams)
    if (stream.sentName == sentName) return &stream;
  return nullptr;
}

/// The content of the stored stream received under SENTNAME; empty with
/// WHY set when it cannot be had.
bool ReadSignedFile(const SessionOutcome& outcome, const char* sentName, std::size_t limit,
                    std::string& content, std::string& why) {
  const ReceivedStream* stream = FindSent(outcome, sentName);
  if (stream == nullptr) {
    why = std::string("no signed manifest came with the files (") + sentName + " is missing)";
    return false;
  }
  std::string bytes;
  if (!files::ReadSmallFile(stream->localName + ".gz", StoredStreamLimit(limit), bytes) ||
      !ReadStoredGzip(bytes, limit, content)) {
    why = std::string(sentName) + " is not a gzip stream of stored blocks of at most " +
          std::to_string(limit) + " bytes";
    return false;
  }
  return true;
}

std::string Versions(std::uint32_t major, std::uint32_t minor) {
  return std::to_string(major) + " " + std::to_string(minor);
}

}  // namespace

bool ReadStoredGzip(std::string_view stream, std::size_t maxSize, std::string& content) {
  constexpr unsigned char kText = 1, kHeaderCrc = 2, kExtra = 4, kName = 8, kComment = 16;
  content.clear();
  if (stream.size() < kGzipHeaderSize + kGzipTrailerSize) return false;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(stream[at]); };
  if (byte(0) != 0x1F || byte(1) != 0x8B || byte(2) != 8) return false;
  const unsigned char flags = byte(3);
  if ((flags & ~(kText | kHeaderCrc | kExtra | kName | kComment)) != 0) return false;
  std::size_t at = kGzipHeaderSize;
  if (flags & kExtra) {
    if (at + 2 > stream.size()) return false;
    at += 2 + (byte(at) | (byte(at + 1) << 8));
  }
  for (const unsigned char field : {kName, kComment}) {
    if (!(flags & field)) continue;
    const std::size_t end = stream.find('\0', at);
    if (end == std::string_view::npos) return false;
    at = end + 1;
  }
  if (flags & kHeaderCrc) at += 2;
  // Stored blocks alone: each starts at a byte boundary, its three header
  // bits (final, type 00) in the low bits of one byte, then LEN and ~LEN.
  for (bool final = false; !final;) {
    if (at + 5 > stream.size()) return false;
    const unsigned char header = byte(at);
    if ((header & 0x06) != 0 || (header & 0xF8) != 0) return false;
    final = (header & 1) != 0;
    const std::size_t length = byte(at + 1) | (byte(at + 2) << 8);
    const std::size_t complement = byte(at + 3) | (byte(at + 4) << 8);
    if ((length ^ 0xFFFF) != complement) return false;
    at += 5;
    if (length > stream.size() - at || content.size() + length > maxSize) return false;
    content.append(stream.substr(at, length));
    at += length;
  }
  return stream.size() - at == kGzipTrailerSize && Le32(stream, at) == Crc32(content) &&
         Le32(stream, at + 4) == static_cast<std::uint32_t>(content.size());
}

std::string CheckDownloads(const std::string& publicKeyLine, const SessionOutcome& outcome) {
  trust::PublicKey key;
  if (const trust::Verdict v = trust::ParsePublicKey(publicKeyLine, key); v != trust::Verdict::Accepted) {
    return std::string("the PublicKey of Config.ini cannot be used: ") + trust::VerdictText(v);
  }
  std::string manifestText, signatureFile, why;
  if (!ReadSignedFile(outcome, trust::kManifestFileName, trust::kMaxManifestSize, manifestText, why) ||
      !ReadSignedFile(outcome, trust::kManifestSignatureFileName, trust::kMaxSignatureFileSize, signatureFile,
                      why)) {
    return why;
  }
  trust::Manifest manifest;
  if (const trust::Verdict v = trust::VerifyManifest(key, manifestText, signatureFile, manifest);
      v != trust::Verdict::Accepted) {
    return std::string(trust::kManifestFileName) + ": " + trust::VerdictText(v);
  }
  // The versions the manifest vouches for are those File.ver will record,
  // and never below what it records now: no older release, no mixing.
  if (manifest.major != outcome.versions[0] || manifest.minor != outcome.versions[1]) {
    return "the manifest is for versions " + Versions(manifest.major, manifest.minor) +
           ", the files received bring " + Versions(outcome.versions[0], outcome.versions[1]);
  }
  files::FileVersionRecord record;
  switch (files::ReadVersionFile(record)) {
    case files::VersionFileOutcome::Absent:
      break;
    case files::VersionFileOutcome::Valid: {
      const auto major = static_cast<std::uint32_t>(record.major),
                 minor = static_cast<std::uint32_t>(record.minor);
      if (manifest.major < major || manifest.minor < minor) {
        return "the manifest's versions " + Versions(manifest.major, manifest.minor) +
               " are below the installed " + Versions(major, minor);
      }
      break;
    }
    case files::VersionFileOutcome::Damaged:
    case files::VersionFileOutcome::WrongKind:
      return std::string(files::kVersionFileName) + " cannot be read";
  }
  for (const ReceivedStream& stream : outcome.streams) {
    if (stream.sentName == trust::kManifestFileName || stream.sentName == trust::kManifestSignatureFileName) {
      continue;
    }
    const trust::ManifestEntry* entry = manifest.Find(stream.sentName);
    if (entry == nullptr) return stream.sentName + " was received but the manifest does not list it";
    if (entry->streamSize != stream.size || entry->streamHash != stream.hash) {
      return stream.sentName + " is not the file the manifest lists";
    }
  }
  return {};
}

void DiscardDownloads(SessionOutcome& outcome) {
  // One still open elsewhere (Windows refuses to remove it) stays listed,
  // so a later call, once it is closed, removes it.
  std::vector<std::string> kept;
  for (const std::string& name : outcome.downloads) {
    if (std::remove(platform::HostPath(name).c_str()) != 0 && errno != ENOENT) kept.push_back(name);
  }
  outcome.downloads = std::move(kept);
  outcome.streams.clear();
  outcome.receivedNames.clear();
}

}  // namespace session
