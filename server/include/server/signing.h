#pragma once
/// Signed stores: the operator's key pair, and the signed manifest of every
/// state a signed store commits.
///
///   STORE/signing-key                  the public key the store signs with (key file format)
///   STORE/manifest/3-12.manifest       the manifest of the state major 3, minor 12
///   STORE/manifest/3-12.manifest.minisig   its signature
///   STORE/manifest/3-12.manifest.gz    both as the gzip streams sessions send
///   STORE/manifest/3-12.manifest.minisig.gz
///
/// A store without signing-key is unsigned and holds neither. The manifest of
/// a state is keyed by its two version counters alone: a new notice page does
/// not change the state's files, so it leaves the manifest valid. Both files
/// are written and synced before CURRENT names the state, like its releases.
///
/// Every session of a signed store that sends files ends with the manifest
/// and signature of the state it brings the player to, installed at the root
/// of the game folder. Their streams hold stored (uncompressed) deflate
/// blocks alone, so that an updater checks them in memory without a
/// decompressor that could fail on a hostile stream.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// The state a manifest of the manifest folder is of: "3-12.manifest" gives
/// 3 and 12; false for any other name.
bool ParseStateManifestName(std::string_view name, std::uint32_t& major, std::uint32_t& minor);

/// DATA as a gzip stream of stored deflate blocks, with its CRC-32 and length.
std::string StoredGzip(std::string_view data);

/// Fills SNAPSHOT.isSigned and SNAPSHOT.signedStates from the store folder:
/// the states up to the counters of SNAPSHOT whose four manifest files are
/// there, as one chain ending at the state in force.
void ReadSignedStates(Snapshot& snapshot);

/// Why a published file cannot be named NAME in a signed store (the
/// manifest's own two files at the root, in any letter case), or nullptr.
const char* CheckSignedStoreName(std::string_view name);

/// Checks the signed store at ROOT whose state in force is COUNTERS and
/// whose newest copies are FILES (by name): the manifest of that state
/// verifies with the store's key and lists exactly FILES with their stored
/// sizes and hashes, and the gzip forms of every stored manifest and
/// signature hold exactly them. Gzip forms that are missing are written
/// (their paths go to WRITTEN). Returns one line per fault; nothing for an
/// unsigned store.
std::vector<std::string> CheckSignedState(const std::string& root, const std::uint32_t counters[2],
                                          const std::map<std::string, const StoredFile*>& files,
                                          std::vector<std::string>& written);

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
