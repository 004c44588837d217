#include "platform/ini_file.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::ini {

namespace {

/// The service's blanks: tab to carriage return, ^Z (an old end-of-file
/// mark) and space.
bool IsBlank(char c) { return (c >= '\t' && c <= '\r') || c == '\x1a' || c == ' '; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

/// Names and values are C strings to the service: a NUL byte ends them.
std::string_view UpToNul(std::string_view text) {
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

/// Calls VISIT(header, name, value) for each line of TEXT that is a section
/// header (HEADER true, NAME the section's name) or a key (NAME the key's
/// name, VALUE nothing for a line without '='), in file order, until VISIT
/// returns false.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;

    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos && close > 0) {
        if (!visit(true, Trim(UpToNul(line.substr(1, close - 1))), std::nullopt)) return;
        continue;
      }
      // No closing bracket: an ordinary line of the current section.
    }
    const std::size_t equals = line.find('=');
    std::string_view name = line.substr(0, equals);
    while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
    std::optional<std::string_view> value;
    if (equals != std::string_view::npos) value = UpToNul(Trim(line.substr(equals + 1)));
    if (!visit(false, UpToNul(name), value)) return;
  }
}

/// Calls VISIT(name, value) for each key line of the first section named
/// WANTEDSECTION in TEXT, in file order, until VISIT returns false. VALUE is
/// nothing for a line without '='.
template <typename Visit>
void ForEachKey(std::string_view text, std::string_view wantedSection, Visit visit) {
  // Keys above the first header belong to a section without a name.
  bool inSection = wantedSection.empty();
  bool sectionSeen = inSection;
  ForEachLine(text, [&](bool header, std::string_view name, std::optional<std::string_view> value) {
    if (header) {
      if (sectionSeen) return false;  // only the first section of that name counts
      inSection = EqualsIgnoringCase(name, wantedSection);
      sectionSeen = inSection;
      return true;
    }
    return !inSection || visit(name, value);
  });
}

/// The raw value of KEY in SECTION of TEXT, or nothing when the section or
/// the key is missing. A key without '=' has no value, and hides any later
/// one of its name.
std::optional<std::string> FindValue(std::string_view text, std::string_view wantedSection,
                                     std::string_view wantedKey) {
  std::optional<std::string> found;
  ForEachKey(text, wantedSection, [&](std::string_view name, std::optional<std::string_view> value) {
    if (!EqualsIgnoringCase(name, wantedKey)) return true;
    if (value) found = std::string(*value);
    return false;
  });
  return found;
}

/// Copies VALUE into a buffer of BUFFERSIZE bytes as the service does: a
/// value enclosed in quotes loses the opening one, and the closing one goes
/// only when the copy (cut to BUFFERSIZE - 1) reached it.
std::string CopyEntry(std::string_view value, std::size_t bufferSize) {
  bool quoted = false;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    quoted = true;
    value.remove_prefix(1);
  }
  std::string copy(value.substr(0, bufferSize - 1));
  if (quoted && bufferSize >= value.size() && !copy.empty()) copy.pop_back();
  return copy;
}

/// What a lookup answers for VALUE (nothing: the section or key is missing)
/// through a buffer of BUFFERSIZE bytes.
std::string Answer(const std::optional<std::string_view>& value, const std::string& defaultValue,
                   std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  if (value) return CopyEntry(*value, bufferSize);
  // The default loses its trailing spaces (all but a first character).
  std::string_view fallback = UpToNul(defaultValue);
  while (fallback.size() > 1 && fallback.back() == ' ') fallback.remove_suffix(1);
  return std::string(fallback.substr(0, bufferSize - 1));
}

/// The service reads an integer's value as a string into 30 characters first.
constexpr std::size_t kIntBufferSize = 30;

/// VALUE (as read through kIntBufferSize) as an integer; empty gives DEFAULTVALUE.
unsigned ParseInt(const std::string& value, int defaultValue) {
  if (value.empty()) return static_cast<unsigned>(defaultValue);

  std::string_view digits(value);
  while (!digits.empty() && static_cast<unsigned char>(digits.front()) <= ' ') digits.remove_prefix(1);
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  unsigned base = 10;
  if (digits.size() >= 2 && digits[0] == '0') {
    switch (digits[1]) {
      case 'x':
        base = 16;
        break;
      case 'o':
        base = 8;
        break;
      case 'b':
        base = 2;
        break;
      default:
        break;
    }
    if (base != 10) digits.remove_prefix(2);
  }
  // Arithmetic modulo 2^32, as the service's 32-bit conversion gives it.
  std::uint32_t result = 0;
  for (char c : digits) {
    unsigned digit = 36;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'z')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z')
      digit = static_cast<unsigned>(c - 'A' + 10);
    if (digit >= base) break;
    result = result * base + digit;
  }
  return negative ? 0u - result : result;
}

/// Whether a listing of key names shows the key NAME with VALUE: keys
/// without a value and names that start with ';' are left out.
bool Listed(std::string_view name, const std::optional<std::string_view>& value) {
  return value && !name.empty() && name.front() != ';';
}

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

std::optional<std::string> ReadFile(const std::string& path) {
  // Only a regular file: a pipe planted under the name would block the open.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue,
                       const std::string& path, std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::optional<std::string> value;
  if (const std::optional<std::string> text = ReadFile(path)) {
    value = FindValue(*text, Trim(UpToNul(section)), Trim(UpToNul(key)));
  }
  return Answer(value ? std::optional<std::string_view>(*value) : std::nullopt, defaultValue, bufferSize);
}

std::vector<std::string> KeyNames(const std::string& section, const std::string& path) {
  std::vector<std::string> names;
  if (const std::optional<std::string> text = ReadFile(path)) {
    // Unlike a lookup, the listing takes the wanted section name as it is.
    ForEachKey(*text, UpToNul(section), [&](std::string_view name, std::optional<std::string_view> value) {
      if (Listed(name, value)) names.emplace_back(name);
      return true;
    });
  }
  return names;
}

unsigned ReadInt(const std::string& section, const std::string& key, int defaultValue,
                 const std::string& path) {
  return ParseInt(ReadString(section, key, "", path, kIntBufferSize), defaultValue);
}

Profile::Profile(std::string_view text) {
  // Section 0 holds the keys above the first header; a later section of a
  // name already seen is skipped whole, as lookups never reach it.
  sections_.emplace_back();
  Section* current = &sections_.front();
  ForEachLine(text, [&](bool header, std::string_view name, std::optional<std::string_view> value) {
    if (header) {
      const auto [at, added] = sectionIndex_.emplace(LowerAscii(name), sections_.size());
      if (added) {
        sections_.emplace_back();
        current = &sections_.back();
      } else {
        current = nullptr;
      }
      return true;
    }
    if (current == nullptr) return true;
    current->keys.push_back({std::string(name), value ? std::optional<std::string>(*value) : std::nullopt});
    current->firstKey.emplace(LowerAscii(name), current->keys.size() - 1);
    return true;
  });
}

Profile Profile::Load(const std::string& path) {
  const std::optional<std::string> text = ReadFile(path);
  return text ? Profile(*text) : Profile();
}

const Profile::Section* Profile::FindSection(std::string_view wanted) const {
  if (sections_.empty()) return nullptr;
  // The keys above the first header answer for a section without a name,
  // even when a header "[]" follows.
  if (wanted.empty()) return &sections_.front();
  const auto found = sectionIndex_.find(LowerAscii(wanted));
  return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

std::string Profile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue, std::size_t bufferSize) const {
  std::optional<std::string_view> value;
  if (const Section* in = FindSection(Trim(UpToNul(section)))) {
    const auto found = in->firstKey.find(LowerAscii(Trim(UpToNul(key))));
    if (found != in->firstKey.end() && in->keys[found->second].value) value = *in->keys[found->second].value;
  }
  return Answer(value, defaultValue, bufferSize);
}

unsigned Profile::ReadInt(const std::string& section, const std::string& key, int defaultValue) const {
  return ParseInt(ReadString(section, key, "", kIntBufferSize), defaultValue);
}

std::vector<std::string> Profile::KeyNames(const std::string& section) const {
  std::vector<std::string> names;
  if (const Section* in = FindSection(UpToNul(section))) {
    for (const Key& k : in->keys) {
      if (Listed(k.name, k.value)) names.push_back(k.name);
    }
  }
  return names;
}

}  // namespace platform::ini
