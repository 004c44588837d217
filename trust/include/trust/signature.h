#pragma once
/// Signatures in the file format of the `minisign` tool, prehashed:
///
///   untrusted comment: <anything; not covered by any signature>
///   <base64 of "ED" | key id (8) | Ed25519 signature of BLAKE2b-512(message) (64)>
///   trusted comment: <text>
///   <base64 of the Ed25519 signature of (the 64 signature bytes | text)>
///
/// Each line ends with "\n" (a "\r" before it is ignored when reading). The
/// second signature, the global one, binds the trusted comment to the
/// signature, so the comment cannot be edited without the key.
///
/// The legacy form ("Ed", the message signed as it is) is refused: a
/// signature made here or by the tool today is always prehashed.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "trust/keys.h"
#include "trust/verdict.h"

namespace trust {

constexpr std::size_t kSignatureSize = 64;
/// Longest comment line accepted or written (either comment).
constexpr std::size_t kMaxCommentSize = 1024;
/// Longest signature file read: four lines, each well below this.
constexpr std::size_t kMaxSignatureFileSize = 4096;
/// What the tool writes as the untrusted comment; nobody reads it.
constexpr const char* kDefaultUntrustedComment = "signature from minisign secret key";

using SignatureBytes = std::array<std::uint8_t, kSignatureSize>;

/// A signature file taken apart, nothing checked but its layout.
struct SignatureFile {
  std::array<std::uint8_t, 2> algorithm{};
  KeyId keyId{};
  SignatureBytes signature{};
  std::string trustedComment;  ///< after "trusted comment: "
  SignatureBytes globalSignature{};
};

/// Splits TEXT into its four lines and decodes them. SignatureMalformed for a
/// wrong layout, SignatureWrongAlgorithm for an unknown algorithm; "Ed" and
/// "ED" both parse (the verification refuses "Ed").
Verdict ParseSignatureFile(std::string_view text, SignatureFile& signature);

/// Signs MESSAGE with KEY; false (and SIGNATURE_FILE untouched) when a
/// comment holds a line break or is longer than kMaxCommentSize.
bool Sign(const SecretKey& key, std::string_view message, std::string_view trustedComment,
          std::string& signatureFile, std::string_view untrustedComment = kDefaultUntrustedComment);

/// Checks that SIGNATURE_FILE is KEY's signature of MESSAGE, its trusted
/// comment included; on Accepted, TRUSTED_COMMENT (when given) receives it.
Verdict Verify(const PublicKey& key, std::string_view message, std::string_view signatureFile,
               std::string* trustedComment = nullptr);

}  // namespace trust
