#pragma once
/// Ed25519 key pairs in the file formats of the `minisign` tool, so that its
/// keys work here and ours work there.
///
/// Public key: an "untrusted comment: " line, then the base64 of 42 bytes:
///   "Ed" | key id (8) | public key (32)
/// `Config.ini` carries the base64 line alone.
///
/// Secret key (the unencrypted form `minisign -G -W` writes): an "untrusted
/// comment: " line, then the base64 of 158 bytes:
///   "Ed" | KDF algorithm (2, zero: none) | "B2" | KDF salt (32) |
///   KDF ops limit (8, little-endian) | KDF memory limit (8) |
///   key id (8) | secret key (64: seed, then public key) | checksum (32)
/// The checksum is BLAKE2b-256 of "Ed" | key id | secret key. The tool
/// writes zeros there for an unencrypted key (and does not check it); both
/// are read, anything else is a damaged key. Keys protected by a password
/// ("Sc") are refused: the updater's tools never ask for one.
///
/// The key id is 8 random bytes; the tool shows it as the upper-case hex of
/// those bytes read as a little-endian 64-bit number, without leading zeros
/// ("8EAACE6BB587EA04", "B4336DC251C8775").

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "trust/verdict.h"

namespace trust {

constexpr std::size_t kKeyIdSize = 8;
constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSecretKeySize = 64;
using KeyId = std::array<std::uint8_t, kKeyIdSize>;

struct PublicKey {
  KeyId id{};
  std::array<std::uint8_t, kPublicKeySize> key{};
};

/// Wiped from memory when it goes.
struct SecretKey {
  KeyId id{};
  std::array<std::uint8_t, kSecretKeySize> key{};  ///< seed, then public key (libsodium's form)

  SecretKey() = default;
  SecretKey(const SecretKey&) = default;
  SecretKey& operator=(const SecretKey&) = default;
  ~SecretKey();
  /// The public half, with the same key id.
  PublicKey Public() const;
};

struct KeyPair {
  PublicKey publicKey;
  SecretKey secretKey;
};

/// A new pair from the system's random source, with a random key id.
KeyPair GenerateKeyPair();

/// "8EAACE6BB587EA04": as the tool shows a key id (also in the public key file).
std::string KeyIdText(const KeyId& id);

/// The base64 line of a public key (no line break).
std::string FormatPublicKey(const PublicKey& key);
/// The public key file: "untrusted comment: minisign public key <id>" and the base64 line.
std::string FormatPublicKeyFile(const PublicKey& key);
/// The unencrypted secret key file, with its checksum.
std::string FormatSecretKeyFile(const SecretKey& key);

/// The base64 line alone (surrounding blanks ignored).
Verdict ParsePublicKey(std::string_view base64, PublicKey& key);
/// A public key file: its comment line and its base64 line.
Verdict ParsePublicKeyFile(std::string_view text, PublicKey& key);
/// An unencrypted secret key file; checks the checksum and that the public
/// half belongs to the seed.
Verdict ParseSecretKeyFile(std::string_view text, SecretKey& key);

}  // namespace trust
