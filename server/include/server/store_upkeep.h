#pragma once
/// Keeping a store: removing what no state can send any more (prune), and
/// verifying every stored file against what publish recorded (check).
///
/// A prune runs under the store lock (no publish meanwhile) and removes:
///  - the copy of a file in release u that a later release w changed again,
///    when no session of the state in force is sent it (whatever versions it
///    has installed, within the session limits) and no running server holds
///    a snapshot whose newest release of that kind lies in u..w-1 (such a
///    snapshot may still send it; see Snapshot::holds);
///  - notice pages other than the one in force that no running server holds.
/// The release keeps its manifest line for the file, so version numbering,
/// plans and version fields stay exactly as before; its "pruned" list names
/// the copies that are gone.

#include <cstdint>
#include <string>
#include <vector>

#include "server/session_plan.h"

namespace server {

struct PruneOptions {
  bool dryRun = false;  ///< only tell what would be removed
  PlanLimits limits;    ///< those of the servers of this store
};

struct PruneResult {
  std::vector<std::string> removed;  ///< store-relative paths, removed (or removable in a dry run)
  std::uint64_t bytesFreed = 0;
  /// Store-relative paths no state in force sends but a running server still holds.
  std::vector<std::string> held;
};

/// Prunes the store at ROOT; throws StoreError (nothing removed after the
/// first failure is reported as removed).
PruneResult Prune(const std::string& root, const PruneOptions& options = {});

struct CheckResult {
  std::size_t checked = 0;           ///< stored files looked at (gzip streams and the notice page)
  std::vector<std::string> damaged;  ///< one line per damaged file: "PATH: why"
  /// Gzip forms of a signed store's manifests that were missing and are now written.
  std::vector<std::string> written;
};

/// Verifies every stored file of the state in force at ROOT: present, of the
/// recorded size, and with the recorded CRC-32; a release published without
/// checksums has each stream decoded in full (gzip CRC and length of every
/// member, nothing after the last). In a signed store also the manifest of
/// the state in force (its signature with the store's key, and each stream
/// it lists against the stored one) and the gzip forms of every stored
/// manifest and signature, writing those that are missing. Throws
/// StoreError only when the state itself cannot be read.
CheckResult CheckStore(const std::string& root);

}  // namespace server
