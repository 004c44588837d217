#include "sodium_support.h"

#include <sodium.h>

#include <cstdlib>

namespace trust::detail {

void EnsureSodium() {
  // sodium_init may be called from several threads and more than once; -1
  // means the system's random source is unusable, where no key can be made.
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  const int variant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_encoded_len(size, variant), '\0');
  sodium_bin2base64(text.data(), text.size(), data, size, variant);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

bool Base64DecodeExact(std::string_view text, std::uint8_t* out, std::size_t size) {
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return decoded == size && end == text.data() + text.size();
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace trust::detail
