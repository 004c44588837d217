#include "trust/keys.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "sodium_support.h"

namespace trust {

namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment: ";
constexpr std::uint8_t kEd[2] = {'E', 'd'};
constexpr std::uint8_t kBlake2b[2] = {'B', '2'};
constexpr std::uint8_t kScrypt[2] = {'S', 'c'};

// Offsets inside the decoded files (the layouts in keys.h).
constexpr std::size_t kPublicKeyBytes = 2 + kKeyIdSize + kPublicKeySize;  // 42
constexpr std::size_t kSecretKdfAt = 2, kSecretChecksumAlgAt = 4, kSecretSaltAt = 6;
constexpr std::size_t kSecretKeyIdAt = kSecretSaltAt + 32 + 8 + 8;        // 54
constexpr std::size_t kSecretKeyAt = kSecretKeyIdAt + kKeyIdSize;         // 62
constexpr std::size_t kSecretChecksumAt = kSecretKeyAt + kSecretKeySize;  // 126
constexpr std::size_t kSecretKeyBytes = kSecretChecksumAt + 32;           // 158

static_assert(kSecretKeySize == crypto_sign_ed25519_SECRETKEYBYTES);
static_assert(kPublicKeySize == crypto_sign_ed25519_PUBLICKEYBYTES);

std::array<std::uint8_t, 32> SecretKeyChecksum(const SecretKey& key) {
  detail::EnsureSodium();
  std::array<std::uint8_t, 32> checksum{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, checksum.size());
  crypto_generichash_update(&state, kEd, sizeof kEd);
  crypto_generichash_update(&state, key.id.data(), key.id.size());
  crypto_generichash_update(&state, key.key.data(), key.key.size());
  crypto_generichash_final(&state, checksum.data(), checksum.size());
  return checksum;
}

/// The comment line and the base64 line of a key file; anything after them
/// but blank lines makes the file malformed.
bool SplitKeyFile(std::string_view text, std::string_view& base64) {
  const auto lines = detail::SplitLines(text);
  if (lines.size() < 2 || lines[0].substr(0, kCommentPrefix.size()) != kCommentPrefix) return false;
  for (std::size_t i = 2; i < lines.size(); ++i)
    if (!lines[i].empty()) return false;
  base64 = lines[1];
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

PublicKey SecretKey::Public() const {
  PublicKey result;
  result.id = id;
  crypto_sign_ed25519_sk_to_pk(result.key.data(), key.data());
  return result;
}

KeyPair GenerateKeyPair() {
  detail::EnsureSodium();
  KeyPair pair;
  crypto_sign_ed25519_keypair(pair.publicKey.key.data(), pair.secretKey.key.data());
  randombytes_buf(pair.secretKey.id.data(), pair.secretKey.id.size());
  pair.publicKey.id = pair.secretKey.id;
  return pair;
}

std::string KeyIdText(const KeyId& id) {
  std::uint64_t number = 0;
  for (std::size_t i = id.size(); i-- > 0;) number = (number << 8) | id[i];
  char text[17];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(number));
  return text;
}

std::string FormatPublicKey(const PublicKey& key) {
  std::uint8_t bytes[kPublicKeyBytes];
  std::memcpy(bytes, kEd, 2);
  std::memcpy(bytes + 2, key.id.data(), kKeyIdSize);
  std::memcpy(bytes + 2 + kKeyIdSize, key.key.data(), kPublicKeySize);
  return detail::Base64Encode(bytes, sizeof bytes);
}

std::string FormatPublicKeyFile(const PublicKey& key) {
  return std::string(kCommentPrefix) + "minisign public key " + KeyIdText(key.id) + "\n" +
         FormatPublicKey(key) + "\n";
}

std::string FormatSecretKeyFile(const SecretKey& key) {
  // KDF "none": algorithm, salt and limits all zero, as the tool writes them.
  std::uint8_t bytes[kSecretKeyBytes] = {};
  std::memcpy(bytes, kEd, 2);
  std::memcpy(bytes + kSecretChecksumAlgAt, kBlake2b, 2);
  std::memcpy(bytes + kSecretKeyIdAt, key.id.data(), kKeyIdSize);
  std::memcpy(bytes + kSecretKeyAt, key.key.data(), kSecretKeySize);
  const auto checksum = SecretKeyChecksum(key);
  std::memcpy(bytes + kSecretChecksumAt, checksum.data(), checksum.size());
  std::string text = std::string(kCommentPrefix) + "minisign encrypted secret key\n" +
                     detail::Base64Encode(bytes, sizeof bytes) + "\n";
  sodium_memzero(bytes, sizeof bytes);
  return text;
}

Verdict ParsePublicKey(std::string_view base64, PublicKey& key) {
  std::uint8_t bytes[kPublicKeyBytes];
  if (!detail::Base64DecodeExact(TrimBlanks(base64), bytes, sizeof bytes)) return Verdict::KeyMalformed;
  if (std::memcmp(bytes, kEd, 2) != 0) return Verdict::KeyWrongAlgorithm;
  std::memcpy(key.id.data(), bytes + 2, kKeyIdSize);
  std::memcpy(key.key.data(), bytes + 2 + kKeyIdSize, kPublicKeySize);
  return Verdict::Accepted;
}

Verdict ParsePublicKeyFile(std::string_view text, PublicKey& key) {
  std::string_view base64;
  if (!SplitKeyFile(text, base64)) return Verdict::KeyMalformed;
  return ParsePublicKey(base64, key);
}

Verdict ParseSecretKeyFile(std::string_view text, SecretKey& key) {
  std::string_view base64;
  if (!SplitKeyFile(text, base64)) return Verdict::KeyMalformed;
  std::uint8_t bytes[kSecretKeyBytes];
  if (!detail::Base64DecodeExact(TrimBlanks(base64), bytes, sizeof bytes)) return Verdict::KeyMalformed;
  const std::uint8_t* kdf = bytes + kSecretKdfAt;
  Verdict verdict = Verdict::Accepted;
  if (std::memcmp(bytes, kEd, 2) != 0 || std::memcmp(bytes + kSecretChecksumAlgAt, kBlake2b, 2) != 0)
    verdict = Verdict::KeyWrongAlgorithm;
  else if (std::memcmp(kdf, kScrypt, 2) == 0)
    verdict = Verdict::SecretKeyEncrypted;
  else if (kdf[0] != 0 || kdf[1] != 0)
    verdict = Verdict::KeyWrongAlgorithm;

  SecretKey parsed;
  std::memcpy(parsed.id.data(), bytes + kSecretKeyIdAt, kKeyIdSize);
  std::memcpy(parsed.key.data(), bytes + kSecretKeyAt, kSecretKeySize);
  if (verdict == Verdict::Accepted) {
    const auto checksum = SecretKeyChecksum(parsed);
    const std::uint8_t* stored = bytes + kSecretChecksumAt;
    const bool checksumOk = sodium_is_zero(stored, checksum.size()) ||
                            sodium_memcmp(stored, checksum.data(), checksum.size()) == 0;
    // The tool leaves the checksum zero, so the key's own structure is the
    // check that always applies: the public half is what the seed gives.
    std::uint8_t derivedPublic[kPublicKeySize], derivedSecret[kSecretKeySize];
    crypto_sign_ed25519_seed_keypair(derivedPublic, derivedSecret, parsed.key.data());
    const bool halvesAgree = sodium_memcmp(derivedPublic, parsed.key.data() + 32, kPublicKeySize) == 0;
    sodium_memzero(derivedSecret, sizeof derivedSecret);
    if (!checksumOk || !halvesAgree) verdict = Verdict::SecretKeyDamaged;
  }
  sodium_memzero(bytes, sizeof bytes);
  if (verdict == Verdict::Accepted) key = parsed;
  return verdict;
}

}  // namespace trust
