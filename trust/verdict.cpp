#include "trust/verdict.h"

namespace trust {

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Accepted:
      return "accepted";
    case Verdict::KeyMalformed:
      return "the key is not a valid key file or key line";
    case Verdict::KeyWrongAlgorithm:
      return "the key is not an Ed25519 key";
    case Verdict::SecretKeyEncrypted:
      return "the secret key is protected by a password; use an unencrypted key";
    case Verdict::SecretKeyDamaged:
      return "the secret key is damaged (its checksum or public half does not match)";
    case Verdict::SignatureMalformed:
      return "the signature file is malformed or truncated";
    case Verdict::SignatureWrongAlgorithm:
      return "the signature uses an unknown algorithm";
    case Verdict::SignatureNotPrehashed:
      return "the signature is of the legacy, not prehashed kind";
    case Verdict::KeyIdMismatch:
      return "the signature was made with another key";
    case Verdict::SignatureBad:
      return "the signature does not match the signed file";
    case Verdict::GlobalSignatureBad:
      return "the trusted comment of the signature was altered";
    case Verdict::ManifestTooLarge:
      return "the manifest is too large";
    case Verdict::ManifestUnknownFormat:
      return "the manifest is not of a known format version";
    case Verdict::ManifestMalformed:
      return "the manifest is malformed";
    case Verdict::ManifestBadNumber:
      return "the manifest holds an invalid number";
    case Verdict::ManifestBadHash:
      return "the manifest holds an invalid hash";
    case Verdict::ManifestBadName:
      return "the manifest holds an invalid file name";
    case Verdict::ManifestDuplicateName:
      return "the manifest lists a file twice";
    case Verdict::TrustedCommentMismatch:
      return "the signed comment does not match the manifest's versions or game";
  }
  return "unknown verdict";
}

}  // namespace trust
