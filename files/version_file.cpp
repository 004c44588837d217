#include "files/version_file.h"

#include <cerrno>
#include <cstdio>

#include "files/scramble.h"
#include "native_file.h"
#include "platform/paths.h"

namespace files {

namespace {

constexpr std::size_t kReadLimit = 256;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

/// One scanf-style integer field (%d with BASE 10, %x with BASE 16): leading
/// white space, an optional sign, for hex an optional "0x", then digits. The
/// value wraps to 32 bits. False when no digit follows.
bool ScanField(const char*& p, int base, std::int32_t& out) {
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0)
    p += 2;
  if (DigitValue(*p, base) < 0) return false;
  std::uint32_t value = 0;
  for (int d; (d = DigitValue(*p, base)) >= 0; ++p)
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
  out = static_cast<std::int32_t>(negative ? 0u - value : value);
  return true;
}

}  // namespace

std::int32_t VersionCheck(std::int32_t kind, std::int32_t major, std::int32_t minor) {
  // The sum wraps like the 32-bit addition it stands for; the division truncates.
  const auto sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(kind) +
                                             static_cast<std::uint32_t>(major) +
                                             static_cast<std::uint32_t>(minor));
  return sum / 3;
}

std::string FormatVersionText(std::uint32_t major, std::uint32_t minor) {
  const auto signedMajor = static_cast<std::int32_t>(major);
  const auto signedMinor = static_cast<std::int32_t>(minor);
  const std::int32_t check = VersionCheck(1, signedMajor, signedMinor);
  char text[64];
  std::snprintf(text, sizeof text, "%d %d %d %x", 1, signedMajor, signedMinor,
                static_cast<std::uint32_t>(check));
  return text;
}

VersionFileOutcome ReadVersionFile(FileVersionRecord& record, const std::string& path) {
  if (path.size() > platform::kMaxPath) return VersionFileOutcome::Absent;
  File file = File::Open(platform::HostPath(path), File::Mode::ReadExisting);
  if (!file.IsOpen()) return VersionFileOutcome::Absent;
  char buffer[kReadLimit + 1];
  const long got = file.Read(buffer, kReadLimit);
  file.Close();
  buffer[got > 0 ? got : 0] = '\0';
  UnscrambleText(buffer);

  const char* p = buffer;
  FileVersionRecord parsed;
  const bool complete = ScanField(p, 10, parsed.kind) && ScanField(p, 10, parsed.major) &&
                        ScanField(p, 10, parsed.minor) && ScanField(p, 16, parsed.check);
  record = parsed;
  if (!complete) return VersionFileOutcome::Damaged;
  if (parsed.check != VersionCheck(parsed.kind, parsed.major, parsed.minor))
    return VersionFileOutcome::Damaged;
  if (parsed.kind != 1) return VersionFileOutcome::WrongKind;
  return VersionFileOutcome::Valid;
}

VersionFileOutcome ReadVersionFile(FileVersionRecord& record) {
  return ReadVersionFile(record, kVersionFileName);
}

// Written beside the old file, put on the disk, and moved over it in one
// step that is itself flushed: a full disk, a crash or a power cut in the
// middle leaves the old versions in place, never a damaged or empty File.ver
// (which would ask the player to reinstall).
bool WriteVersionFile(std::uint32_t major, std::uint32_t minor, const std::string& path) {
  const std::string temporary = path + ".new";
  if (temporary.size() > platform::kMaxPath) return false;
  std::string text = FormatVersionText(major, minor);
  ScrambleText(text.data());
  const std::string host = platform::HostPath(path), hostTemporary = platform::HostPath(temporary);
  File file = File::Open(hostTemporary, File::Mode::ReplaceName);
  if (!file.IsOpen()) return false;
  const bool written = file.WriteAll(text.data(), text.size()) && file.Sync();
  native::Failure failure = native::Failure::None;
  if (file.Close() && written && native::MoveReplacingDurably(hostTemporary, host, failure)) return true;
  const int error = errno;
  std::remove(hostTemporary.c_str());
  errno = error;
  return false;
}

bool WriteVersionFile(std::uint32_t major, std::uint32_t minor) {
  return WriteVersionFile(major, minor, kVersionFileName);
}

}  // namespace files
