#pragma once
// The answer cache: what the sessions on one snapshot of the store share.
// Plans are made once per distinct request and kind plans once per kind and
// installed version, stored files are opened once per snapshot, and an answer
// of up to kAssembleBytes is assembled once per plan, by the kernel, into an
// in-memory file that every session sends with one sendfile, exactly as a
// plain file server would: for small answers the cost of sending many pieces
// (a send and a sendfile per file) outweighs the data itself. Larger answers
// go piece by piece from the stored files, where that cost is lost in the
// volume.
//
// Cached files and assembled answers hold descriptors out of the loop's
// budget, and take only what is left beyond a margin for the sessions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "descriptor_budget.h"
#include "fd.h"
#include "server/session_plan.h"

namespace server {

/// What assembled answers hold at this moment, across snapshots.
struct AssembledTotal {
  std::uint64_t bytes = 0;
  std::size_t count = 0;
  DescriptorBudget* descriptors = nullptr;
};

/// A plan as sessions use it: its pieces and, for a small answer, the whole
/// answer assembled in one in-memory file.
struct Prepared {
  SessionPlan plan;
  Fd whole;                             ///< every byte after the request; none: send the pieces
  std::vector<std::uint64_t> fileEnds;  ///< where each body ends in WHOLE
  AssembledTotal* total = nullptr;      ///< counts WHOLE while it lives

  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  ~Prepared();
  /// The files whose bodies end at or before OFFSET into WHOLE.
  std::uint32_t FilesBefore(std::uint64_t offset) const;
};

/// One snapshot and what its sessions share: plans by request, open files.
class AnswerCache {
 public:
  AnswerCache(std::shared_ptr<const Snapshot> snapshot, const PlanLimits& limits, AssembledTotal& assembled)
      : snapshot_(std::move(snapshot)), limits_(limits), assembled_(assembled) {}
  ~AnswerCache();
  AnswerCache(const AnswerCache&) = delete;
  AnswerCache& operator=(const AnswerCache&) = delete;

  const Snapshot& snapshot() const { return *snapshot_; }

  /// The prepared answer to REQUEST, shared with every session that sent it.
  const std::shared_ptr<const Prepared>& PlanFor(const session::UpdateRequest& request);

  /// A descriptor for the stored file at PATH, or -1 (errno set). When the
  /// cache has no room for it, OWN takes it and the caller holds it; the
  /// caller has room for one descriptor of its own, the cache takes one from
  /// the budget. The file is found by its path, so that a store folder
  /// replaced by a copy is read from the copy.
  int Open(const std::string& path, Fd& own);

 private:
  /// Writes every piece of P's plan into one in-memory file, the bodies
  /// copied by the kernel (sendfile between files). False leaves P to be
  /// sent piece by piece.
  bool Assemble(Prepared& p);
  /// Copies the stored file of SEGMENT to the end of TO.
  bool CopyBody(const Segment& segment, int to);
  /// The kind plan for a player at INSTALLED (see KindPlanner).
  std::shared_ptr<const KindPlan> KindPlanFor(int kind, std::uint32_t installed, std::uint32_t maxFiles,
                                              std::uint64_t maxBytes, std::uint32_t upTo);

  struct Key {
    std::uint64_t versions;
    bool notice;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      return std::hash<std::uint64_t>()(k.versions * 2 + (k.notice ? 1 : 0));
    }
  };
  std::shared_ptr<const Snapshot> snapshot_;
  PlanLimits limits_;
  std::unordered_map<Key, std::shared_ptr<const Prepared>, KeyHash> plans_;
  std::unordered_map<std::string, Fd> files_;
  std::array<std::unordered_map<std::uint32_t, std::weak_ptr<const KindPlan>>, kKinds> kindPlans_;
  std::array<std::shared_ptr<const KindPlan>, 64> recentKindPlans_;
  std::size_t recentTurn_ = 0, kindPlansMade_ = 0;
  AssembledTotal& assembled_;
};

}  // namespace server
