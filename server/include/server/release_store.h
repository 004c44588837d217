#pragma once
/// The release store: one folder of plain files that an operator can read,
/// back up and copy.
///
///   STORE/CURRENT                       the state in force: both version counters and the notice
///   STORE/major/3/manifest              what major version 3 changed (sizes and names)
///   STORE/major/3/files/data/a.dat.gz   each changed file, compressed once as a gzip stream
///   STORE/major/3/checksums             the CRC-32 of each stored stream (absent in older stores)
///   STORE/major/3/pruned                names whose copy a prune removed (see store_upkeep.h)
///   STORE/minor/...                     the same for minor versions
///   STORE/notice/1733620000.html        the notice pages, named by their time stamps
///
/// CURRENT is only ever replaced whole, by rename, after everything it names
/// is on disk; a release folder or notice page it does not name is ignored.
/// A published release never changes, so a server can keep using it while
/// newer states appear.

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace server {

/// Kind 0 files update the major version, kind 1 files the minor version.
constexpr int kKinds = 2;
const char* KindName(int kind);  ///< "major" or "minor"
/// "major" -> 0, "minor" -> 1; false for anything else.
bool ParseKind(std::string_view text, int& kind);

/// A store that cannot be read or changed; what() is one line for the operator.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One file as changed by one release.
struct StoredFile {
  std::string name;             ///< as sent to the updater: "data\maps\a.dat"
  std::uint32_t gzipBytes = 0;  ///< body length on the wire, at most 2,147,483,647
  std::uint64_t originalBytes = 0;
  std::string path;  ///< of the gzip stream, relative to the store folder; empty once pruned
  /// CRC-32 of the stored gzip stream as publish wrote it (kept beside the
  /// manifest in "checksums"; 0 where publish did not record one).
  std::uint32_t storedCrc = 0;
};

/// One published version of one kind.
struct Release {
  int kind = 0;
  std::uint32_t version = 0;
  std::int64_t publishedAt = 0;   ///< seconds since 1970 UTC
  std::vector<StoredFile> files;  ///< sorted by name, byte by byte
  /// Identity of the manifest file, so that a reload can tell that it is unchanged.
  std::uint64_t manifestDevice = 0, manifestInode = 0;
  std::int64_t manifestModified = 0;

  std::uint64_t GzipTotal() const;
  std::uint64_t OriginalTotal() const;
};

struct NoticePage {
  std::int32_t stamp = 0;  ///< 0: no notice
  std::string path;        ///< relative to the store folder; empty without a notice
  std::uint64_t bytes = 0;
};

/// A state of a signed store that a session may end at: its two counters
/// and its manifest and signature as the updater receives them, two files
/// whose stored gzip streams sit beside them ("manifest/3-12.manifest.gz").
struct SignedState {
  std::uint32_t counters[2] = {0, 0};
  StoredFile manifest;   ///< named kManifestFileName
  StoredFile signature;  ///< named kManifestSignatureFileName
};

/// The store's state at one moment: every release of both kinds and the notice.
struct Snapshot {
  std::string root;
  /// releases[kind][v - 1] is version v of that kind.
  std::array<std::vector<std::shared_ptr<const Release>>, kKinds> releases;
  NoticePage notice;
  /// The highest notice stamp ever given out, even when the notice was removed since.
  std::int32_t lastStamp = 0;
  /// Shared locks on the manifest of the newest release of each kind and on
  /// the notice page, held while the snapshot lives: they tell a prune of
  /// the store which stored files a running server may still open.
  std::shared_ptr<const void> holds;
  /// A signed store sends its manifest with every file it sends.
  bool isSigned = false;
  /// In a signed store, the states whose manifest is stored, in the order
  /// they were published (both counters rising), ending with the state in
  /// force unless its manifest is missing; a session ends only at one of them.
  std::vector<SignedState> signedStates;

  std::uint32_t Counter(int kind) const { return static_cast<std::uint32_t>(releases[kind].size()); }
};

/// Reads the state in force under ROOT, checking that every file it names is
/// there with its recorded size (copies a prune removed excepted). A folder without CURRENT is an empty store
/// (both counters 0, no notice). Releases held by PREVIOUS whose manifest is
/// unchanged are taken over instead of read again.
std::shared_ptr<const Snapshot> LoadSnapshot(const std::string& root, const Snapshot* previous = nullptr);

/// Sets FILE as the notice page; its stamp is NOW, or 2 seconds after the
/// previous stamp when that is later (the updater takes stamps within one
/// second of each other as the same page). Returns the stamp.
std::int32_t SetNotice(const std::string& root, const std::string& file, std::int64_t now);
/// Removes the notice: sessions then get the stamp 0 and a notice of length 0.
void ClearNotice(const std::string& root);

/// Longest name the updater installs: it receives NAME as "NAME.gz", whose
/// path its decompression engine takes up to 256 bytes long, and the last
/// part of "NAME.gz" must fit one folder entry (255 bytes).
constexpr std::size_t kMaxInstalledNameLength = 253;
constexpr std::size_t kMaxInstalledFileNameLength = 252;

/// Why NAME (as sent, backslash-separated) cannot stand in a manifest and be
/// sent, or nullptr when it can: the updater's own rule (not empty, at most
/// 255 bytes, not absolute, no drive, no "..") plus what the manifest cannot
/// hold (control characters) and what no player's disk holds (characters
/// Windows refuses, empty folder names). A store keeps loading releases
/// published under this rule alone.
const char* CheckServedName(std::string_view name);

/// Why NAME cannot be published, or nullptr when it can: CheckServedName,
/// plus the lengths the updater installs (kMaxInstalledNameLength, and
/// kMaxInstalledFileNameLength for the last part) and the parts a Windows
/// disk cannot hold (device names such as CON or nul.dat, a part ending in
/// '.' or a blank).
const char* CheckPublishName(std::string_view name);

/// NAME as a Windows disk compares names: every letter in upper case (the
/// simple mapping of each UTF-8 character of the Basic Multilingual Plane;
/// bytes that are not UTF-8 by ASCII alone). Two names with the same folded
/// form are one file on a player's disk.
std::string FoldLetterCase(std::string_view name);

}  // namespace server
