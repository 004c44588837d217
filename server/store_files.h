#pragma once
// File handling shared by publishing and loading: durable writes, the store
// lock, the state file CURRENT and the manifests. Every failure becomes a
// StoreError naming the file and the system's reason.

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "fd.h"
#include "server/release_store.h"

namespace server::store {

/// A descriptor of a store file, whose close reports a delayed write error.
class Fd : public server::Fd {
 public:
  using server::Fd::Fd;
  /// Closes now and reports a failed close (where a delayed write error shows).
  void Close(const std::string& path);
};

[[noreturn]] void ThrowSystem(const std::string& what);

/// Writes DATA to a new or truncated file at PATH and syncs it to disk, with
/// MODIFIED as its modification time when given.
void WriteDurably(const std::string& path, std::string_view data, const timespec* modified = nullptr);
/// Writes all of DATA to FD (PATH names it in errors).
void WriteAll(int fd, const void* data, std::size_t size, const std::string& path);
/// Makes the entries of folder DIR durable.
void SyncDirectory(const std::string& dir);
/// Makes folder PATH (readable by all, as the store is); fine when it exists.
void CreateFolder(const std::string& path);
/// Reads a whole file; throws when it cannot.
std::string ReadWholeFile(const std::string& path);
/// Removes PATH and everything below it; silent when it is missing.
void RemoveTree(const std::string& path);

/// The exclusive right to change the store at ROOT, held while it lives.
class StoreLock {
 public:
  explicit StoreLock(const std::string& root);

 private:
  Fd fd_;
};

/// What CURRENT holds.
struct StoreState {
  std::uint32_t counters[kKinds] = {0, 0};
  std::int32_t noticeStamp = 0;  // 0: no notice
  std::string noticePath;        // relative to the store folder
  std::int32_t lastStamp = 0;
};

constexpr const char* kStateFile = "CURRENT";
/// CURRENT of ROOT; an empty state when the store has none yet.
StoreState ReadState(const std::string& root);
/// Throws when ROOT holds releases but no CURRENT: the state was lost, and
/// serving, or writing, an empty state would tell every player they are up
/// to date (and a publish would take the releases for leftovers).
void RefuseLostState(const std::string& root);
/// CURRENT of ROOT for a change of it (publish, notice): as ReadState, but a
/// lost state is refused.
StoreState ReadStateToChange(const std::string& root);
std::string FormatState(const StoreState& state);
/// Writes STATE to CURRENT.new, syncs it, and calls WRITTEN; then renames it
/// over CURRENT and syncs the folder. The rename is the one step that changes
/// what the store serves: when it fails this throws and nothing changed; when
/// only the sync after it fails the new state is in force and the returned
/// text says why it may not survive a power loss (empty otherwise).
template <typename Written>
std::string CommitState(const std::string& root, const StoreState& state, Written written);
/// The modification time of a CURRENT that replaces the one of ROOT: now, but
/// always in a later whole second than the file it replaces. Copies compare
/// files by size and whole-second time, and two states of the same length
/// written within one second would otherwise look alike, so that a copy
/// would keep the older one for good.
timespec StateTime(const std::string& root);
/// Renames a synced CURRENT.new over CURRENT.
void InstallNewState(const std::string& root);

/// Text of a release's manifest, and reading one back. Files listed in the
/// release's "pruned" list get an empty path; the others must be there with
/// their recorded size unless REQUIREFILES is false.
std::string FormatManifest(const Release& release);
Release ParseManifest(const std::string& root, int kind, std::uint32_t version, bool requireFiles = true);

/// Text of a release's "checksums" file: the CRC-32 of each stored gzip
/// stream. Releases published before it existed have none.
std::string FormatChecksums(const Release& release);
/// NAME -> CRC-32 from the "checksums" file of release FOLDER under ROOT; empty when it has none.
std::map<std::string, std::uint32_t> ReadChecksums(const std::string& root, const std::string& folder);
/// The names whose copies a prune removed from release FOLDER ("pruned"); empty when none.
std::set<std::string> ReadPruned(const std::string& root, const std::string& folder);
/// Replaces the "pruned" list of release FOLDER by NAMES, durably.
void WritePruned(const std::string& root, const std::string& folder, const std::set<std::string>& names);

/// "major/3", "major/3/manifest", "notice/1733620000.html".
std::string ReleaseFolder(int kind, std::uint32_t version);
std::string ManifestPath(int kind, std::uint32_t version);
constexpr const char* kChecksumsFile = "checksums";
constexpr const char* kPrunedFile = "pruned";
std::string NoticePath(std::int32_t stamp);
/// Where the gzip stream of NAME lives inside a release folder: "files/data/a.dat.gz".
std::string StoredName(std::string_view name);

template <typename Written>
std::string CommitState(const std::string& root, const StoreState& state, Written written) {
  const timespec modified = StateTime(root);
  WriteDurably(root + "/" + kStateFile + ".new", FormatState(state), &modified);
  written();
  InstallNewState(root);
  try {
    SyncDirectory(root);
  } catch (const StoreError& e) {
    return e.what();
  }
  return {};
}

}  // namespace server::store
