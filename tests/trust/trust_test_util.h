#pragma once
/// Taking signature and key files apart and putting them back together, for
/// the tables that tamper with them.

#include <sodium.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trust_test {

inline std::vector<std::uint8_t> FromBase64(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.size());
  std::size_t size = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &size, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return {};
  bytes.resize(size);
  return bytes;
}

inline std::string ToBase64(const std::vector<std::uint8_t>& bytes) {
  std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

/// The lines of TEXT without their "\n".
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

inline std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

/// Applies EDIT to the decoded bytes of line INDEX of a key or signature file.
template <typename Edit>
std::string EditDecodedLine(const std::string& file, std::size_t index, Edit edit) {
  auto lines = Lines(file);
  auto bytes = FromBase64(lines.at(index));
  edit(bytes);
  lines.at(index) = ToBase64(bytes);
  return JoinLines(lines);
}

}  // namespace trust_test
