#pragma once
/// What one session gets from one snapshot of the store.
///
/// For installed versions (a, b): kind 0 files, the newest copy of every file
/// changed in major versions a+1 and later, then kind 1 files likewise from
/// minor version b+1; each kind ordered by the version of the file's last
/// change. The version field of each FileHeader is the highest version v of
/// its kind such that, once this file and the ones before it are installed,
/// every change up to v is installed. The updater records that field as each
/// file completes, so a session cut anywhere leaves versions from which the
/// next session completes the update.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/release_store.h"
#include "session/wire.h"

namespace server {

/// What one session may carry on the wire: 16-bit file counts per kind and a
/// signed 32-bit total. When the changes since the installed versions exceed
/// them, the session carries the longest run of whole versions that fits and
/// the updater comes back for the rest.
struct PlanLimits {
  std::uint32_t maxFilesPerKind = 65535;
  std::uint64_t maxTotalBytes = 2147483647;
};

/// One file of a session, in sending order.
struct PlannedFile {
  int kind = 0;
  std::uint32_t version = 0;      ///< the FileHeader's version field
  std::uint32_t copyVersion = 0;  ///< the release whose copy is sent
  const StoredFile* file = nullptr;
};

/// A piece of what the server sends after the request: BYTES, then the whole
/// stored file at PATH (relative to the store folder) when PATH is not empty.
struct Segment {
  std::vector<std::uint8_t> bytes;
  std::string path;
  std::uint64_t fileBytes = 0;
  int file = -1;  ///< index into SessionPlan::files of the body, -1 for the notice or none
};

struct SessionPlan {
  std::shared_ptr<const Snapshot> snapshot;  ///< keeps the releases alive while the plan is used
  bool notice = false;                       ///< the notice was asked for
  session::FileListHeader list;
  std::uint32_t reached[kKinds] = {0, 0};  ///< versions installed once every file arrived
  std::vector<PlannedFile> files;
  std::vector<Segment> segments;
  std::uint64_t wireBytes = 0;  ///< everything the segments send
};

/// What a session that sent REQUEST gets from SNAPSHOT.
SessionPlan PlanSession(std::shared_ptr<const Snapshot> snapshot, const session::UpdateRequest& request,
                        const PlanLimits& limits = {});

/// The first message of every session.
session::VersionReply MakeVersionReply(const Snapshot& snapshot, session::Ipv4Address redirect);

}  // namespace server
