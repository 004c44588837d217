// updater-admin: the scrambled files of an installation, for the people who
// run a game's servers. Built on the same code as the updater itself.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_helpers.h"
#include "files/scramble.h"
#include "files/version_file.h"
#include "platform/system_error.h"

namespace {

constexpr const char* kUsage =
    "usage: updater-admin COMMAND ...\n"
    "  scramble IN OUT              make a scrambled file (Server.cnv) from a plain one\n"
    "  unscramble IN OUT            read a scrambled file back into plain text\n"
    "  version-show [FILE]          print 'valid MAJOR MINOR', 'absent', 'damaged' or\n"
    "                               'wrong-kind' for a version file (default File.ver);\n"
    "                               exit 0 for valid or absent, 1 otherwise\n"
    "  version-write MAJOR MINOR [FILE]\n"
    "                               write a version file (default File.ver); versions\n"
    "                               are unsigned 32-bit decimals\n"
    "  --help                       show this text\n";

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "updater-admin: %s\n", message.c_str());
  return status;
}

int UsageError(const std::string& message) {
  return Fail(kUsageError, message + " (see updater-admin --help)");
}

/// Why the last file operation of the helpers failed, in the system's words.
std::string LastErrorText() {
  const int code = platform::LastSystemError();
  return code != 0 ? platform::SystemErrorText(code) : std::string("unknown error");
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/// Parses an unsigned 32-bit decimal: digits only, no sign, no blanks.
bool ParseVersion(std::string_view text, std::uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

int Scramble(const std::string& in, const std::string& out) {
  std::ifstream input(in, std::ios::binary);
  if (!IsRegularFile(in) || !input) return Fail(kFailure, in + ": cannot read: " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  if (input.bad()) return Fail(kFailure, in + ": read error");
  // Scrambling stops at a zero byte, and the mask byte scrambles to zero:
  // either would leave the rest of the file unreadable for the updater.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0 || b == files::ScrambleMask) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", b);
      return Fail(kFailure, in + ": byte " + hex + " at offset " + std::to_string(i) +
                                " cannot be scrambled");
    }
  }
  files::ScrambleText(text.data());
  std::ofstream output(out, std::ios::binary | std::ios::trunc);
  if (!output) return Fail(kFailure, out + ": cannot create: " + std::strerror(errno));
  output.write(text.data(), static_cast<std::streamsize>(text.size()));
  output.close();
  if (!output) return Fail(kFailure, out + ": write error");
  return 0;
}

int Unscramble(const std::string& in, const std::string& out) {
  // The updater creates a missing source; an operator wants to hear about it.
  if (!IsRegularFile(in)) return Fail(kFailure, in + ": no such file");
  if (!files::UnscrambleFile(in, out))
    return Fail(kFailure, out + ": cannot write: " + LastErrorText());
  return 0;
}

int VersionShow(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return Fail(kFailure, path + ": is a directory");
  files::FileVersionRecord record;
  switch (files::ReadVersionFile(record, path)) {
    case files::VersionFileOutcome::Valid:
      std::printf("valid %u %u\n", static_cast<std::uint32_t>(record.major),
                  static_cast<std::uint32_t>(record.minor));
      return 0;
    case files::VersionFileOutcome::Absent:
      std::printf("absent\n");
      return 0;
    case files::VersionFileOutcome::Damaged:
      std::printf("damaged\n");
      return 1;
    case files::VersionFileOutcome::WrongKind:
      std::printf("wrong-kind\n");
      return 1;
  }
  return 1;
}

int VersionWrite(const std::string& majorText, const std::string& minorText, const std::string& path) {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  if (!ParseVersion(majorText, major))
    return UsageError("MAJOR must be an unsigned 32-bit decimal, not '" + majorText + "'");
  if (!ParseVersion(minorText, minor))
    return UsageError("MINOR must be an unsigned 32-bit decimal, not '" + minorText + "'");
  if (!files::WriteVersionFile(major, minor, path))
    return Fail(kFailure, path + ": cannot write: " + LastErrorText());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  const std::string& command = args[0];
  const std::size_t operands = args.size() - 1;
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "scramble" || command == "unscramble") {
    if (operands != 2) return UsageError(command + " needs IN and OUT");
    return command == "scramble" ? Scramble(args[1], args[2]) : Unscramble(args[1], args[2]);
  }
  if (command == "version-show") {
    if (operands > 1) return UsageError("version-show takes at most one FILE");
    return VersionShow(operands == 1 ? args[1] : files::kVersionFileName);
  }
  if (command == "version-write") {
    if (operands != 2 && operands != 3) return UsageError("version-write needs MAJOR MINOR [FILE]");
    return VersionWrite(args[1], args[2], operands == 3 ? args[3] : files::kVersionFileName);
  }
  return UsageError("unknown command '" + command + "'");
}
