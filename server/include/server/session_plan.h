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
///
/// In a signed store a session ends only at a signed state S that neither
/// counter of the player exceeds: the furthest that fits the limits, the
/// files it sends being the copies of S, then the gzip forms of S's manifest
/// and signature, appended to the last kind that sends files with that
/// kind's last version field (so that the updater records exactly S). When
/// no such S fits, or S is what the player has, no file is sent.
///
/// The files of one kind depend only on the installed version of that kind,
/// so a plan is made of two shareable kind plans and a few bytes of its own:
/// whatever the number of sessions, there is at most one kind plan per kind
/// and installed version in memory.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/release_store.h"
#include "session/wire.h"

namespace server {

/// What one session may carry: at most what the wire can count. When the
/// changes since the installed versions exceed it, the session carries the
/// longest run of whole versions that fits and the updater comes back for the
/// rest.
struct PlanLimits {
  std::uint32_t maxFilesPerKind = session::kMaxFilesPerKind;
  std::uint64_t maxTotalBytes = session::kMaxTotalBytes;
};

/// One file of a session.
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
  bool body = false;  ///< PATH is a file's body (not the notice)
};

/// The files of one kind for one installed version, in sending order, with
/// one segment per file (its header, then its body).
struct KindPlan {
  int kind = 0;
  std::uint32_t installed = 0;
  std::uint32_t reached = 0;  ///< the version installed once every file arrived
  std::uint64_t bytes = 0;    ///< of the bodies
  std::vector<PlannedFile> files;
  std::vector<Segment> segments;
};

/// The files of KIND for a player at INSTALLED, within MAXFILES and MAXBYTES
/// and no further than version UPTO. The plan refers to SNAPSHOT's releases,
/// which must outlive it.
std::shared_ptr<const KindPlan> PlanKind(const Snapshot& snapshot, int kind, std::uint32_t installed,
                                         std::uint32_t maxFiles, std::uint64_t maxBytes,
                                         std::uint32_t upTo = UINT32_MAX);

/// Supplies kind plans as PlanKind does; a server passes one that shares them.
using KindPlanner = std::function<std::shared_ptr<const KindPlan>(
    int kind, std::uint32_t installed, std::uint32_t maxFiles, std::uint64_t maxBytes, std::uint32_t upTo)>;

/// In a signed store, the state of SNAPSHOT.signedStates where a session
/// from the installed MAJOR and MINOR ends within LIMITS, or nullptr when
/// none fits (or the store is unsigned).
const SignedState* ChooseSignedState(const Snapshot& snapshot, std::uint32_t major, std::uint32_t minor,
                                     const PlanLimits& limits);

struct SessionPlan {
  std::shared_ptr<const Snapshot> snapshot;  ///< keeps the releases alive while the plan is used
  bool notice = false;                       ///< the notice was asked for
  session::FileListHeader list;
  std::uint32_t reached[kKinds] = {0, 0};
  std::vector<Segment> head;  ///< the notice (when asked for) and the file list header
  std::array<std::shared_ptr<const KindPlan>, kKinds> kinds;
  /// In a signed store, the manifest and its signature after the files.
  std::vector<PlannedFile> tailFiles;
  std::vector<Segment> tail;
  std::uint64_t wireBytes = 0;  ///< everything the segments send

  std::size_t FileCount() const { return kinds[0]->files.size() + kinds[1]->files.size() + tailFiles.size(); }
  /// Every file in sending order: kind 0, then kind 1, then the manifest's.
  std::vector<PlannedFile> Files() const;
  std::size_t SegmentCount() const {
    return head.size() + kinds[0]->segments.size() + kinds[1]->segments.size() + tail.size();
  }
  const Segment& SegmentAt(std::size_t i) const {
    if (i < head.size()) return head[i];
    i -= head.size();
    if (i < kinds[0]->segments.size()) return kinds[0]->segments[i];
    i -= kinds[0]->segments.size();
    return i < kinds[1]->segments.size() ? kinds[1]->segments[i] : tail[i - kinds[1]->segments.size()];
  }
};

/// What a session that sent REQUEST gets from SNAPSHOT; kind plans come from
/// PLANNER, or are made for this plan alone.
SessionPlan PlanSession(std::shared_ptr<const Snapshot> snapshot, const session::UpdateRequest& request,
                        const PlanLimits& limits = {}, const KindPlanner& planner = {});

/// The first message of every session.
session::VersionReply MakeVersionReply(const Snapshot& snapshot, session::Ipv4Address redirect);

}  // namespace server
