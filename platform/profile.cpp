#include "platform/profile.h"

#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

/// Calls VISIT(key, value) for each key of the first section named SECTION in
/// the file at INIPATH (a program name, backslashes allowed), in file order,
/// until VISIT returns false. Names and values come trimmed; a value wholly
/// enclosed in one kind of quotes loses them. False when the file is missing.
template <typename Visit>
bool ForEachKey(const std::string& section, const std::string& iniPath, Visit visit) {
  std::ifstream in(HostPath(iniPath), std::ios::binary);
  if (!in) return false;
  const std::string_view wantedSection = Trim(section);
  bool inSection = false;
  bool sectionSeen = false;
  std::string line;
  bool firstLine = true;
  while (std::getline(in, line)) {
    std::string_view view(line);
    if (firstLine && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);  // UTF-8 mark
    firstLine = false;
    view = Trim(view);
    if (view.empty() || view.front() == ';') continue;
    if (view.front() == '[') {
      if (sectionSeen) return true;  // only the first section of that name counts
      const std::size_t close = view.find(']');
      const std::string_view name =
          Trim(view.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      inSection = EqualsIgnoringCase(name, wantedSection);
      sectionSeen = inSection;
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = view.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view value = Trim(view.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (!visit(Trim(view.substr(0, equals)), value)) return true;
  }
  return true;
}

/// The value of KEY in SECTION, or nothing when the file, the section or the
/// key is missing. The first matching key wins.
std::optional<std::string> FindValue(const std::string& section, const std::string& key,
                                     const std::string& iniPath) {
  const std::string_view wantedKey = Trim(key);
  std::optional<std::string> found;
  ForEachKey(section, iniPath, [&](std::string_view name, std::string_view value) {
    if (!EqualsIgnoringCase(name, wantedKey)) return true;
    found = std::string(value);
    return false;
  });
  return found;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& iniPath,
                             std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::string value = FindValue(section, key, iniPath).value_or(defaultValue);
  if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
  return value;
}

unsigned GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                       const std::string& iniPath) {
  const std::optional<std::string> value = FindValue(section, key, iniPath);
  if (!value) return static_cast<unsigned>(defaultValue);
  std::string_view digits(*value);
  bool negative = false;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  // Arithmetic modulo 2^32, as a 32-bit conversion gives it.
  std::uint32_t result = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    result = result * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return negative ? 0u - result : result;
}

std::vector<std::string> GetProfileKeyNames(const std::string& section, const std::string& iniPath) {
  std::vector<std::string> names;
  ForEachKey(section, iniPath, [&](std::string_view name, std::string_view) {
    names.emplace_back(name);
    return true;
  });
  return names;
}

}  // namespace platform
