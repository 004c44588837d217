#pragma once
/// Publishing a folder as the next version of a kind.
///
/// Every file below the folder is one change of the new version, named by its
/// path relative to the folder with "\" between the parts. Each file is
/// compressed once (libdeflate, best level) into a gzip stream of the release
/// and the release becomes visible in one step: the rename of CURRENT. Until
/// that rename nothing of the new version is seen; a crash or a full disk
/// before it leaves exactly the previous state, and the next publish clears
/// what was left behind.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/release_store.h"
#include "server/signing.h"
#include "session/wire.h"

namespace server {

/// The points a publish passes, in order (FileStored once per file).
enum class PublishStep {
  Locked,          ///< the store is ours; leftovers of an interrupted publish are gone
  FileStored,      ///< one gzip stream written and synced in the work folder
  ManifestStored,  ///< the manifest written and synced
  ReleasePlaced,   ///< the work folder renamed to KIND/VERSION, its parent synced
  StateWritten,    ///< CURRENT.new written and synced
  Committed,       ///< CURRENT replaced: the new version is in force
};

struct PublishOptions {
  /// Compression threads; 0 means one per processor.
  unsigned jobs = 0;
  /// A file is compressed in pieces of this size, each its own gzip member,
  /// so that memory stays bounded whatever the file size (two pieces per
  /// thread). The updater's engine reads every member of a stream; pieces
  /// this large lose nothing measurable to the restarted dictionary.
  std::size_t pieceBytes = 32u << 20;
  /// With a key, the new state's manifest is signed and stored before CURRENT
  /// is replaced; a signed store refuses a publish without its key.
  SigningOptions signing;
  /// Called at each step (tests stop the process there).
  std::function<void(PublishStep)> onStep;
};

/// Files of the folder whose names cannot be published, with the reason.
struct NameRefusal {
  std::string name;
  std::string reason;
};

/// A folder that cannot be published as it is; nothing was changed.
class PublishRefused : public StoreError {
 public:
  PublishRefused(const std::string& what, std::vector<NameRefusal> refusals)
      : StoreError(what), refusals(std::move(refusals)) {}
  std::vector<NameRefusal> refusals;
};

struct PublishResult {
  std::shared_ptr<const Release> release;
  /// Things the operator should know that are not errors (for example a file
  /// the updater stores under another name).
  std::vector<std::string> notes;
  /// The signed manifest of the new state, relative to the store; empty when unsigned.
  std::string manifest;
};

/// Publishes DIR as version Counter(KIND) + 1 of KIND in the store at ROOT
/// (created when missing). Throws PublishRefused for bad names and
/// StoreError for anything else; in both cases the state in force is unchanged.
PublishResult Publish(const std::string& root, int kind, const std::string& dir,
                      const PublishOptions& options = {});

/// Most files one release may change: a session carries whole releases.
constexpr std::size_t kMaxFilesPerRelease = session::kMaxFilesPerKind;
/// Most gzip bytes one release may hold: a session carries whole releases.
constexpr std::uint64_t kMaxBytesPerRelease = session::kMaxTotalBytes;

}  // namespace server
