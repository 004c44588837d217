#pragma once
/// What the library's files share inside: libsodium's start-up, strict
/// base64 and the splitting of small texts into lines.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trust::detail {

/// Starts libsodium once per process (its random source, its CPU checks).
void EnsureSodium();

/// Standard base64 with padding.
std::string Base64Encode(const std::uint8_t* data, std::size_t size);
/// Decodes TEXT (standard alphabet, padded, nothing else) into exactly SIZE
/// bytes; false for any other length or any stray character.
bool Base64DecodeExact(std::string_view text, std::uint8_t* out, std::size_t size);

/// TEXT cut at each "\n", a "\r" before it dropped; a final line without
/// "\n" counts as a line, an empty text after the last "\n" does not.
std::vector<std::string_view> SplitLines(std::string_view text);

}  // namespace trust::detail
