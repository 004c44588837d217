#pragma once
/// The messages of the update protocol, encoded and decoded byte by byte at
/// their fixed offsets (little-endian integers; IPv4 addresses as four bytes,
/// first octet first). No struct is ever laid over the bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace session {

constexpr std::size_t kReceiveBufferSize = 2048;        ///< the session's one receive buffer
constexpr std::int32_t kMaxDownloadBytes = 104857600;   ///< largest total accepted from afar
constexpr std::uint16_t kDefaultPort = 43001;           ///< where updaters and servers meet out of the box
constexpr std::uint16_t kRedirectPort = kDefaultPort;   ///< a redirect always goes to this port
constexpr std::size_t kVersionReplySize = 17;
constexpr std::size_t kUpdateRequestSize = 9;
constexpr std::size_t kNoticeLengthSize = 4;
constexpr std::size_t kFileListHeaderSize = 8;
constexpr std::size_t kFileHeaderMinSize = 10;          ///< length, version and body size
constexpr std::size_t kMaxFileNameLength = 255;         ///< longest name accepted from a server
constexpr std::uint32_t kMaxNoticeLength = 2147483647u;
/// Most files of one kind in one session: the file list counts them in 16 bits.
constexpr std::uint32_t kMaxFilesPerKind = 65535;
/// Most body bytes in one session: the file list's total is a signed 32-bit count.
constexpr std::uint64_t kMaxTotalBytes = 2147483647;

/// An IPv4 address as a 32-bit value whose lowest byte is the first octet
/// (the in-memory network order of a little-endian machine).
using Ipv4Address = std::uint32_t;
constexpr Ipv4Address kLoopbackAddress = 0x0100007Fu;   ///< 127.0.0.1

std::string Ipv4ToText(Ipv4Address address);            ///< "a.b.c.d"
/// Parses strict dotted decimal ("a.b.c.d", each 0..255); false otherwise.
bool ParseIpv4(std::string_view text, Ipv4Address& address);

// Little-endian fields at byte offsets.
inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t GetI32(const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32(p)); }
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

/// Server -> updater, 17 bytes, first on every connection.
struct VersionReply {
  std::uint8_t type = 1;            // offset 0; must be 1
  std::uint32_t major = 0;          // offset 1
  std::uint32_t minor = 0;          // offset 5
  Ipv4Address redirect = 0;         // offset 9; 0 = no redirect
  std::int32_t noticeTime = 0;      // offset 13; seconds since 1970 UTC, 0 = no notice
};
VersionReply DecodeVersionReply(const std::uint8_t* bytes);
std::array<std::uint8_t, kVersionReplySize> EncodeVersionReply(const VersionReply& reply);

enum RequestCode : std::uint8_t { RequestFilesOnly = 0x01, RequestNoticeAndFiles = 0x41 };

/// Updater -> server, 9 bytes.
struct UpdateRequest {
  std::uint8_t code = RequestFilesOnly;  // offset 0
  std::uint32_t major = 0;               // offset 1
  std::uint32_t minor = 0;               // offset 5
};
void EncodeUpdateRequest(const UpdateRequest& request, std::uint8_t* out);  // writes 9 bytes
UpdateRequest DecodeUpdateRequest(const std::uint8_t* bytes);

/// The 4-byte length in front of the notice page.
inline std::uint32_t DecodeNoticeLength(const std::uint8_t* bytes) { return GetU32(bytes); }
std::array<std::uint8_t, kNoticeLengthSize> EncodeNoticeLength(std::uint32_t length);

/// Server -> updater, 8 bytes.
struct FileListHeader {
  std::array<std::uint16_t, 2> counts{};  // offsets 0 and 2: files of kind 0 and kind 1
  std::int32_t totalBytes = 0;            // offset 4
};
FileListHeader DecodeFileListHeader(const std::uint8_t* bytes);
std::array<std::uint8_t, kFileListHeaderSize> EncodeFileListHeader(const FileListHeader& header);

/// Server -> updater, L bytes in front of each body.
struct FileHeader {
  std::uint16_t length = 0;     // offset 0: L, including these two bytes
  std::uint32_t version = 0;    // offset 2
  std::int32_t bodyLength = 0;  // offset 6
  std::string name;             // offset 10, up to the NUL inside the header
};

/// Why a file header is refused; Accepted when it may be used.
enum class HeaderVerdict {
  Accepted,
  LengthTooSmall,      // L < 10
  LengthTooLarge,      // L > 2048: can never be buffered whole
  NegativeBody,
  NameUnterminated,    // no NUL inside the header
  NameEmpty,
  NameTooLong,         // over 255 bytes
  NameAbsolute,        // leading '\' or '/'
  NameHasDrive,        // ':' anywhere
  NameHasParent,       // a ".." component
};
const char* HeaderVerdictText(HeaderVerdict verdict);

/// Checks L alone (known once two bytes are buffered).
HeaderVerdict CheckFileHeaderLength(std::uint16_t length);
/// Decodes and checks a whole header of HEADER.length bytes at BYTES.
HeaderVerdict DecodeFileHeader(const std::uint8_t* bytes, FileHeader& header);
/// Checks a name as the server sent it, before anything is opened for it.
HeaderVerdict CheckFileName(std::string_view name);
/// L = 10 + name + NUL (+ PADDING bytes after the NUL).
std::vector<std::uint8_t> EncodeFileHeader(std::uint32_t version, std::int32_t bodyLength,
                                           std::string_view name, std::size_t padding = 0);

/// Where the server's copy of File.ver is kept: it is never installed, since
/// the updater writes its own File.ver from the versions it reached.
inline constexpr const char* kDiscardedFileName = "null.dat";

/// The local name for a name as sent: "Update.exe" -> "Update0.exe",
/// "File.ver" -> kDiscardedFileName (whole name, any letter case), else
/// unchanged.
std::string LocalFileName(std::string_view sentName);

}  // namespace session
