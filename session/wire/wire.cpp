#include "session/wire.h"

#include "platform/paths.h"

#include <cstring>
#include <strings.h>

namespace session {

std::string Ipv4ToText(Ipv4Address address) {
  return std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
         std::to_string((address >> 16) & 0xFF) + "." + std::to_string(address >> 24);
}

bool ParseIpv4(std::string_view text, Ipv4Address& address) {
  Ipv4Address value = 0;
  std::size_t pos = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    std::size_t digits = 0;
    unsigned part = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      part = part * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || part > 255) return false;
    value |= static_cast<Ipv4Address>(part) << (8 * octet);
  }
  if (pos != text.size()) return false;
  address = value;
  return true;
}

VersionReply DecodeVersionReply(const std::uint8_t* b) {
  VersionReply r;
  r.type = b[0];
  r.major = GetU32(b + 1);
  r.minor = GetU32(b + 5);
  r.redirect = GetU32(b + 9);
  r.noticeTime = GetI32(b + 13);
  return r;
}

std::array<std::uint8_t, kVersionReplySize> EncodeVersionReply(const VersionReply& r) {
  std::array<std::uint8_t, kVersionReplySize> b{};
  b[0] = r.type;
  PutU32(&b[1], r.major);
  PutU32(&b[5], r.minor);
  PutU32(&b[9], r.redirect);
  PutU32(&b[13], static_cast<std::uint32_t>(r.noticeTime));
  return b;
}

void EncodeUpdateRequest(const UpdateRequest& r, std::uint8_t* out) {
  out[0] = r.code;
  PutU32(out + 1, r.major);
  PutU32(out + 5, r.minor);
}

UpdateRequest DecodeUpdateRequest(const std::uint8_t* b) {
  UpdateRequest r;
  r.code = b[0];
  r.major = GetU32(b + 1);
  r.minor = GetU32(b + 5);
  return r;
}

std::array<std::uint8_t, kNoticeLengthSize> EncodeNoticeLength(std::uint32_t length) {
  std::array<std::uint8_t, kNoticeLengthSize> b{};
  PutU32(b.data(), length);
  return b;
}

FileListHeader DecodeFileListHeader(const std::uint8_t* b) {
  FileListHeader h;
  h.counts[0] = GetU16(b);
  h.counts[1] = GetU16(b + 2);
  h.totalBytes = GetI32(b + 4);
  return h;
}

std::array<std::uint8_t, kFileListHeaderSize> EncodeFileListHeader(const FileListHeader& h) {
  std::array<std::uint8_t, kFileListHeaderSize> b{};
  PutU16(&b[0], h.counts[0]);
  PutU16(&b[2], h.counts[1]);
  PutU32(&b[4], static_cast<std::uint32_t>(h.totalBytes));
  return b;
}

const char* HeaderVerdictText(HeaderVerdict v) {
  switch (v) {
    case HeaderVerdict::Accepted: return "accepted";
    case HeaderVerdict::LengthTooSmall: return "header length below 10";
    case HeaderVerdict::LengthTooLarge: return "header length above 2048";
    case HeaderVerdict::NegativeBody: return "negative body length";
    case HeaderVerdict::NameUnterminated: return "name not terminated inside the header";
    case HeaderVerdict::NameEmpty: return "empty name";
    case HeaderVerdict::NameTooLong: return "name longer than 255 bytes";
    case HeaderVerdict::NameAbsolute: return "absolute name";
    case HeaderVerdict::NameHasDrive: return "name with a drive";
    case HeaderVerdict::NameHasParent: return "name with a '..' component";
  }
  return "?";
}

HeaderVerdict CheckFileHeaderLength(std::uint16_t length) {
  if (length < kFileHeaderMinSize) return HeaderVerdict::LengthTooSmall;
  if (length > kReceiveBufferSize) return HeaderVerdict::LengthTooLarge;
  return HeaderVerdict::Accepted;
}

// The rule of the host's paths for what stays inside the game folder, plus
// the length a name may have on the wire.
HeaderVerdict CheckFileName(std::string_view name) {
  if (!name.empty() && name.size() > kMaxFileNameLength) return HeaderVerdict::NameTooLong;
  // In the order of platform::NameFault.
  constexpr HeaderVerdict kVerdicts[] = {HeaderVerdict::Accepted, HeaderVerdict::NameEmpty,
                                         HeaderVerdict::NameAbsolute, HeaderVerdict::NameHasDrive,
                                         HeaderVerdict::NameHasParent};
  return kVerdicts[static_cast<int>(platform::CheckContainedRelativeName(name))];
}

HeaderVerdict DecodeFileHeader(const std::uint8_t* b, FileHeader& h) {
  h.length = GetU16(b);
  if (HeaderVerdict v = CheckFileHeaderLength(h.length); v != HeaderVerdict::Accepted) return v;
  h.version = GetU32(b + 2);
  h.bodyLength = GetI32(b + 6);
  const char* name = reinterpret_cast<const char*>(b + kFileHeaderMinSize);
  const std::size_t room = h.length - kFileHeaderMinSize;
  const void* nul = std::memchr(name, 0, room);
  if (nul == nullptr) return HeaderVerdict::NameUnterminated;
  h.name.assign(name, static_cast<const char*>(nul) - name);
  if (h.bodyLength < 0) return HeaderVerdict::NegativeBody;
  return CheckFileName(h.name);
}

std::vector<std::uint8_t> EncodeFileHeader(std::uint32_t version, std::int32_t bodyLength,
                                           std::string_view name, std::size_t padding) {
  std::vector<std::uint8_t> b(kFileHeaderMinSize + name.size() + 1 + padding, 0);
  PutU16(b.data(), static_cast<std::uint16_t>(b.size()));
  PutU32(b.data() + 2, version);
  PutU32(b.data() + 6, static_cast<std::uint32_t>(bodyLength));
  std::memcpy(b.data() + kFileHeaderMinSize, name.data(), name.size());
  return b;
}

std::string LocalFileName(std::string_view sentName) {
  const std::string name(sentName);
  if (strcasecmp(name.c_str(), "Update.exe") == 0) return "Update0.exe";
  if (strcasecmp(name.c_str(), "File.ver") == 0) return kDiscardedFileName;
  return name;
}

}  // namespace session
