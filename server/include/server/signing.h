#pragma once
/// Signed stores: the operator's key pair, and the signed manifest of every
/// state a signed store commits.
///
///   STORE/signing-key                  the public key the store signs with (key file format)
///   STORE/manifest/3-12.manifest       the manifest of the state major 3, minor 12
///   STORE/manifest/3-12.manifest.minisig   its signature
///
/// A store without signing-key is unsigned and holds neither. The manifest of
/// a state is keyed by its two version counters alone: a new notice page does
/// not change the state's files, so it leaves the manifest valid. Both files
/// are written and synced before CURRENT names the state, like its releases.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/release_store.h"
#include "trust/keys.h"
#include "trust/verdict.h"

namespace server {

constexpr const char* kSigningKeyFile = "signing-key";
constexpr const char* kStateManifestFolder = "manifest";
/// What `keygen` writes in its folder.
constexpr const char* kPublicKeyFileName = "mirvale.pub";
constexpr const char* kSecretKeyFileName = "mirvale.key";

/// How a publish signs; without a key it does not.
struct SigningOptions {
  std::shared_ptr<const trust::SecretKey> key;
  /// Allows a key other than the store's: the store is signed with KEY from
  /// this state on (players need the new public key).
  bool newKey = false;
};

/// "manifest/3-12.manifest"; the signature is that and ".minisig".
std::string StateManifestPath(std::uint32_t major, std::uint32_t minor);

/// The public key recorded in the store at ROOT, or nothing for an unsigned store.
std::optional<trust::PublicKey> ReadSigningKey(const std::string& root);

/// Reads the unencrypted secret key file at PATH; throws StoreError with one
/// line saying why it cannot be used.
std::shared_ptr<const trust::SecretKey> LoadSecretKey(const std::string& path);

/// Throws StoreError when a publish with OPTIONS onto the store at ROOT
/// would change how it is signed without being asked to: an unsigned
/// publish onto a signed store, or another key without newKey.
void CheckSigning(const std::string& root, const SigningOptions& options);

/// Builds the manifest of the state that CURRENT plus RELEASE (placed, not
/// yet committed) make, signs it with OPTIONS' key and stores both files and,
/// when it changes, the store's public key. Call it just before CURRENT is
/// written; UNDO removes what it wrote when the publish fails after all.
class StateSigner {
 public:
  StateSigner(std::string root, const SigningOptions& options);
  ~StateSigner();
  StateSigner(const StateSigner&) = delete;
  StateSigner& operator=(const StateSigner&) = delete;

  void Sign(const Snapshot& current, const Release& release);
  /// Puts back what Sign changed (after a failure before CURRENT was replaced).
  void Undo();

 private:
  std::string root_;
  SigningOptions options_;
  std::string manifestPath_;
  std::optional<std::string> previousKeyFile_;
  bool wroteKey_ = false;
};

/// What `show` says about a store's signing.
struct SigningStatus {
  bool isSigned = false;
  std::string keyId;  ///< as the tool shows it
  /// Whether the manifest of the state in force verifies with the store's
  /// key; empty when it does, else why not.
  std::string problem;
};
SigningStatus CheckStoreSigning(const Snapshot& snapshot);

/// Writes a new key pair into DIR (created when missing) as
/// kPublicKeyFileName and kSecretKeyFileName, the secret one readable by its
/// owner alone; never replaces a file. Returns the public key.
trust::PublicKey WriteNewKeyPair(const std::string& dir);

}  // namespace server
