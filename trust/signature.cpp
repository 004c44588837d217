#include "trust/signature.h"

#include <sodium.h>

#include <cstring>

#include "sodium_support.h"

namespace trust {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kSignatureLineBytes = 2 + kKeyIdSize + kSignatureSize;  // 74
constexpr std::size_t kPrehashSize = crypto_generichash_BYTES_MAX;            // BLAKE2b-512

static_assert(kSignatureSize == crypto_sign_ed25519_BYTES);
static_assert(kPrehashSize == 64);

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsCommentWritable(std::string_view comment) {
  return comment.size() <= kMaxCommentSize && comment.find_first_of("\r\n") == std::string_view::npos;
}

std::array<std::uint8_t, kPrehashSize> Prehash(std::string_view message) {
  std::array<std::uint8_t, kPrehashSize> hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(message.data()),
                     message.size(), nullptr, 0);
  return hash;
}

/// The global signature covers the signature bytes followed by the comment.
std::string GlobalMessage(const SignatureBytes& signature, std::string_view trustedComment) {
  std::string message(reinterpret_cast<const char*>(signature.data()), signature.size());
  message.append(trustedComment);
  return message;
}

}  // namespace

Verdict ParseSignatureFile(std::string_view text, SignatureFile& signature) {
  if (text.size() > kMaxSignatureFileSize) return Verdict::SignatureMalformed;
  const auto lines = detail::SplitLines(text);
  if (lines.size() != 4 || !StartsWith(lines[0], kUntrustedPrefix) || !StartsWith(lines[2], kTrustedPrefix))
    return Verdict::SignatureMalformed;
  SignatureFile parsed;
  std::uint8_t bytes[kSignatureLineBytes];
  if (!detail::Base64DecodeExact(lines[1], bytes, sizeof bytes) ||
      !detail::Base64DecodeExact(lines[3], parsed.globalSignature.data(), kSignatureSize))
    return Verdict::SignatureMalformed;
  std::memcpy(parsed.algorithm.data(), bytes, 2);
  std::memcpy(parsed.keyId.data(), bytes + 2, kKeyIdSize);
  std::memcpy(parsed.signature.data(), bytes + 2 + kKeyIdSize, kSignatureSize);
  parsed.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
  if (parsed.algorithm[0] != 'E' || (parsed.algorithm[1] != 'D' && parsed.algorithm[1] != 'd'))
    return Verdict::SignatureWrongAlgorithm;
  signature = std::move(parsed);
  return Verdict::Accepted;
}

bool Sign(const SecretKey& key, std::string_view message, std::string_view trustedComment,
          std::string& signatureFile, std::string_view untrustedComment) {
  if (!IsCommentWritable(trustedComment) || !IsCommentWritable(untrustedComment)) return false;
  detail::EnsureSodium();
  const auto prehash = Prehash(message);
  SignatureBytes signature{}, globalSignature{};
  crypto_sign_ed25519_detached(signature.data(), nullptr, prehash.data(), prehash.size(), key.key.data());
  const std::string global = GlobalMessage(signature, trustedComment);
  crypto_sign_ed25519_detached(globalSignature.data(), nullptr,
                               reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                               key.key.data());

  std::uint8_t line[kSignatureLineBytes];
  line[0] = 'E';
  line[1] = 'D';
  std::memcpy(line + 2, key.id.data(), kKeyIdSize);
  std::memcpy(line + 2 + kKeyIdSize, signature.data(), kSignatureSize);
  signatureFile = std::string(kUntrustedPrefix) + std::string(untrustedComment) + "\n" +
                  detail::Base64Encode(line, sizeof line) + "\n" + std::string(kTrustedPrefix) +
                  std::string(trustedComment) + "\n" +
                  detail::Base64Encode(globalSignature.data(), globalSignature.size()) + "\n";
  return true;
}

Verdict Verify(const PublicKey& key, std::string_view message, std::string_view signatureFile,
               std::string* trustedComment) {
  SignatureFile signature;
  const Verdict parsed = ParseSignatureFile(signatureFile, signature);
  if (parsed != Verdict::Accepted) return parsed;
  if (signature.algorithm[1] != 'D') return Verdict::SignatureNotPrehashed;
  if (signature.keyId != key.id) return Verdict::KeyIdMismatch;
  detail::EnsureSodium();
  const auto prehash = Prehash(message);
  if (crypto_sign_ed25519_verify_detached(signature.signature.data(), prehash.data(), prehash.size(),
                                          key.key.data()) != 0)
    return Verdict::SignatureBad;
  const std::string global = GlobalMessage(signature.signature, signature.trustedComment);
  if (crypto_sign_ed25519_verify_detached(signature.globalSignature.data(),
                                          reinterpret_cast<const unsigned char*>(global.data()),
                                          global.size(), key.key.data()) != 0)
    return Verdict::GlobalSignatureBad;
  if (trustedComment) *trustedComment = std::move(signature.trustedComment);
  return Verdict::Accepted;
}

}  // namespace trust
