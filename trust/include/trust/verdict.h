#pragma once
/// Why a key, a signature or a manifest is refused: one list for the whole
/// library, each with an English line for the console and the server's tools.

namespace trust {

enum class Verdict {
  Accepted,
  // Keys.
  KeyMalformed,        ///< not the two lines / base64 of a key of the right length
  KeyWrongAlgorithm,   ///< not an Ed25519 key ("Ed")
  SecretKeyEncrypted,  ///< protected by a password: only unencrypted keys are read
  SecretKeyDamaged,    ///< its checksum or its public half does not match its seed
  // Signatures.
  SignatureMalformed,       ///< line layout, comment prefixes, base64 or length
  SignatureWrongAlgorithm,  ///< neither "ED" nor "Ed"
  SignatureNotPrehashed,    ///< the legacy "Ed" form, which signs the message itself
  KeyIdMismatch,            ///< made by another key than the one given
  SignatureBad,             ///< the message was changed (or the signature forged)
  GlobalSignatureBad,       ///< the trusted comment was changed
  // Manifests.
  ManifestTooLarge,
  ManifestUnknownFormat,  ///< first line missing or of another format version
  ManifestMalformed,      ///< a line of unknown kind, out of place, missing or repeated
  ManifestBadNumber,      ///< not a canonical decimal in range
  ManifestBadHash,        ///< not 64 lower-case hex digits
  ManifestBadName,        ///< empty, a raw byte that must be escaped, or a bad escape
  ManifestDuplicateName,
  TrustedCommentMismatch,  ///< the signed comment names other versions or another game
};

/// One English line saying why, e.g. "the signature does not match the file".
const char* VerdictText(Verdict verdict);

}  // namespace trust
