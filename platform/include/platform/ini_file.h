#pragma once
/// Our own reader of INI profile files, written to answer exactly as the
/// system's profile service (GetPrivateProfileStringA / GetPrivateProfileIntA)
/// does on the same bytes. On Linux it is the profile service; on Windows it
/// is only compared with the real one (see tests/platform/windows/).
///
/// The rules, as the service applies them:
/// - a line ends at any CR or LF; blanks (tab, LF, VT, FF, CR, ^Z, space)
///   around a line are dropped, and so is a UTF-8 byte-order mark;
/// - "[name]" starts a section; the name runs to the line's last ']' (blanks
///   around it dropped), and a '[' line without one is no section header;
/// - "key = value": the name runs to the first '=' (blanks before it dropped),
///   the value starts at the first non-blank after it; a line without '='
///   is a key without a value, which reads as missing;
/// - names match without regard to ASCII letter case, after blanks around
///   the wanted name are dropped; only the first section of a name counts,
///   and in it the first key of a name;
/// - a NUL byte ends a name or a value;
/// - a value wholly enclosed in one kind of quotes loses them;
/// - a missing file, section or key gives the default (its trailing blanks
///   dropped).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::ini {

/// The value of KEY in SECTION of the file at PATH (a host path), or the
/// default, cut to BUFFERSIZE - 1 bytes as the service's buffer cuts it.
std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue,
                       const std::string& path, std::size_t bufferSize);

/// The names of the keys of SECTION, in file order, as the service lists
/// them for a null key name: keys without a value and names starting with
/// ';' are left out, and blanks around SECTION are not dropped. Empty when
/// the file or the section is missing.
std::vector<std::string> KeyNames(const std::string& section, const std::string& path);

/// The value read as an integer: a value that is missing or empty gives the
/// default; otherwise an optional sign, an optional "0x", "0o" or "0b"
/// prefix, then the digits of that base, wrapping to 32 bits (the value is
/// read through a 30-byte buffer, so only its first 29 characters count).
unsigned ReadInt(const std::string& section, const std::string& key, int defaultValue,
                 const std::string& path);

/// A profile file read once, for many lookups: each answers as the function
/// of the same name above answers on the bytes that were read, in time that
/// does not grow with the file (the functions above read and scan the whole
/// file for every lookup).
class Profile {
 public:
  /// A missing file: every lookup gives the default.
  Profile() = default;
  /// The file whose bytes are TEXT.
  explicit Profile(std::string_view text);
  /// The file at PATH (a host path) as it is now; only a regular file is read.
  static Profile Load(const std::string& path);

  std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue,
                         std::size_t bufferSize) const;
  unsigned ReadInt(const std::string& section, const std::string& key, int defaultValue) const;
  std::vector<std::string> KeyNames(const std::string& section) const;

 private:
  struct Key {
    std::string name;
    std::optional<std::string> value;  // nothing for a line without '='
  };
  struct Section {
    std::vector<Key> keys;                                  // in file order
    std::unordered_map<std::string, std::size_t> firstKey;  // lower-case name -> first such key
  };
  const Section* FindSection(std::string_view wanted) const;

  std::vector<Section> sections_;  // [0]: the keys above the first header; none: no file
  std::unordered_map<std::string, std::size_t> sectionIndex_;  // lower-case name -> first such section
};

}  // namespace platform::ini
