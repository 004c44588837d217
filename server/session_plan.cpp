#include "server/session_plan.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace server {

namespace {

/// Per file: the first and the last version (after the installed one) that
/// changed it, and the copy of the last one.
struct Entry {
  const StoredFile* copy;
  std::uint32_t first, last;
};

/// The files that the versions after PLAN.installed changed, taken a whole
/// version at a time while they fit in MAXFILES and MAXBYTES, up to version
/// NEWEST: a session ends on whole versions. Sets PLAN.bytes and PLAN.reached.
std::vector<Entry> ChangedFiles(const Snapshot& snapshot, KindPlan& plan, std::uint32_t maxFiles,
                                std::uint64_t maxBytes, std::uint32_t newest) {
  std::vector<Entry> entries;
  std::unordered_map<std::string_view, std::size_t> byName;
  for (std::uint64_t v = std::uint64_t{plan.installed} + 1; v <= newest; ++v) {
    const Release& release = *snapshot.releases[plan.kind][v - 1];
    std::size_t added = 0;
    std::uint64_t bytes = plan.bytes;
    for (const StoredFile& f : release.files) {
      const auto at = byName.find(f.name);
      if (at == byName.end()) {
        ++added;
      } else {
        bytes -= entries[at->second].copy->gzipBytes;
      }
      bytes += f.gzipBytes;
    }
    if (entries.size() + added > maxFiles || bytes > maxBytes) break;
    for (const StoredFile& f : release.files) {
      const auto [at, isNew] = byName.emplace(f.name, entries.size());
      if (isNew) {
        entries.push_back({&f, static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v)});
      } else {
        entries[at->second].copy = &f;
        entries[at->second].last = static_cast<std::uint32_t>(v);
      }
    }
    plan.bytes = bytes;
    plan.reached = static_cast<std::uint32_t>(v);
  }
  return entries;
}

/// Fills PLAN.files from ENTRIES in sending order (by the version of their
/// last change), each with the version its FileHeader carries.
void OrderFiles(std::vector<Entry>& entries, KindPlan& plan) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.last != b.last ? a.last < b.last : a.copy->name < b.copy->name;
  });
  // Once files 0..i are installed, every change up to v is installed exactly
  // when no file still to come was first changed at or before v: so v is one
  // below the smallest first change among the files after i, and the
  // version reached when none is left.
  plan.files.resize(entries.size());
  std::uint32_t firstToCome = 0;
  bool anyToCome = false;
  for (std::size_t i = entries.size(); i-- > 0;) {
    plan.files[i] = {plan.kind, anyToCome ? firstToCome - 1 : plan.reached, entries[i].last, entries[i].copy};
    firstToCome = anyToCome ? std::min(firstToCome, entries[i].first) : entries[i].first;
    anyToCome = true;
  }
}

}  // namespace

std::shared_ptr<const KindPlan> PlanKind(const Snapshot& snapshot, int kind, std::uint32_t installed,
                                         std::uint32_t maxFiles, std::uint64_t maxBytes, std::uint32_t upTo) {
  auto made = std::make_shared<KindPlan>();
  KindPlan& plan = *made;
  plan.kind = kind;
  plan.installed = installed;
  plan.reached = installed;
  const std::uint32_t newest = std::min(snapshot.Counter(kind), upTo);
  if (installed >= newest) return made;  // unsigned: a player ahead of the store gets nothing

  std::vector<Entry> entries = ChangedFiles(snapshot, plan, maxFiles, maxBytes, newest);
  OrderFiles(entries, plan);
  plan.segments.reserve(plan.files.size());
  for (const PlannedFile& f : plan.files) {
    plan.segments.push_back(
        {session::EncodeFileHeader(f.version, static_cast<std::int32_t>(f.file->gzipBytes), f.file->name),
         f.file->path, f.file->gzipBytes, true});
  }
  return made;
}

std::vector<PlannedFile> SessionPlan::Files() const {
  std::vector<PlannedFile> all = kinds[0]->files;
  all.insert(all.end(), kinds[1]->files.begin(), kinds[1]->files.end());
  all.insert(all.end(), tailFiles.begin(), tailFiles.end());
  return all;
}

const SignedState* ChooseSignedState(const Snapshot& snapshot, std::uint32_t major, std::uint32_t minor,
                                     const PlanLimits& limits) {
  // Per kind: the size of the newest copy of every name changed after the
  // installed version, up to the state looked at, and their sum.
  struct Changes {
    std::uint32_t upTo;
    std::unordered_map<std::string_view, std::uint32_t> bytes;
    std::uint64_t total = 0;
  };
  Changes changes[kKinds] = {{major, {}, 0}, {minor, {}, 0}};
  const SignedState* chosen = nullptr;
  for (const SignedState& state : snapshot.signedStates) {
    if (state.counters[0] < major || state.counters[1] < minor) continue;
    for (int kind = 0; kind < kKinds; ++kind) {
      Changes& c = changes[kind];
      for (; c.upTo < state.counters[kind]; ++c.upTo) {
        for (const StoredFile& f : snapshot.releases[kind][c.upTo]->files) {
          const auto [at, isNew] = c.bytes.emplace(f.name, f.gzipBytes);
          if (!isNew) {
            c.total -= at->second;
            at->second = f.gzipBytes;
          }
          c.total += f.gzipBytes;
        }
      }
    }
    const std::size_t files[kKinds] = {changes[0].bytes.size(), changes[1].bytes.size()};
    if (files[0] > limits.maxFilesPerKind || files[1] > limits.maxFilesPerKind) break;  // counts only grow
    const int last = files[1] > 0 ? 1 : files[0] > 0 ? 0 : -1;
    if (last < 0) {  // what the player has
      chosen = &state;
      continue;
    }
    const std::uint64_t bytes =
        changes[0].total + changes[1].total + state.manifest.gzipBytes + state.signature.gzipBytes;
    if (files[last] + 2 <= limits.maxFilesPerKind && bytes <= limits.maxTotalBytes) chosen = &state;
  }
  return chosen;
}

SessionPlan PlanSession(std::shared_ptr<const Snapshot> snapshot, const session::UpdateRequest& request,
                        const PlanLimits& limits, const KindPlanner& planner) {
  auto plan_kind = [&](int kind, std::uint32_t installed, std::uint32_t maxFiles, std::uint64_t maxBytes,
                       std::uint32_t upTo) {
    return planner ? planner(kind, installed, maxFiles, maxBytes, upTo)
                   : PlanKind(*snapshot, kind, installed, maxFiles, maxBytes, upTo);
  };
  SessionPlan plan;
  plan.notice = request.code == session::RequestNoticeAndFiles;
  const SignedState* signedEnd = nullptr;
  if (snapshot->isSigned) {
    // Up to the chosen state exactly; it fits the limits as a whole.
    signedEnd = ChooseSignedState(*snapshot, request.major, request.minor, limits);
    const std::uint32_t installed[kKinds] = {request.major, request.minor};
    for (int kind = 0; kind < kKinds; ++kind) {
      plan.kinds[kind] = plan_kind(kind, installed[kind], UINT32_MAX, UINT64_MAX,
                                   signedEnd != nullptr ? signedEnd->counters[kind] : installed[kind]);
    }
  } else {
    plan.kinds[0] = plan_kind(0, request.major, limits.maxFilesPerKind, limits.maxTotalBytes, UINT32_MAX);
    plan.kinds[1] = plan_kind(1, request.minor, limits.maxFilesPerKind,
                              limits.maxTotalBytes - plan.kinds[0]->bytes, UINT32_MAX);
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    plan.reached[kind] = plan.kinds[kind]->reached;
    plan.list.counts[kind] = static_cast<std::uint16_t>(plan.kinds[kind]->files.size());
  }
  std::uint64_t total = plan.kinds[0]->bytes + plan.kinds[1]->bytes;
  if (signedEnd != nullptr && plan.FileCount() > 0) {
    const int last = plan.kinds[1]->files.empty() ? 0 : 1;
    const std::uint32_t version = plan.kinds[last]->files.back().version;
    for (const StoredFile* f : {&signedEnd->manifest, &signedEnd->signature}) {
      plan.tailFiles.push_back({last, version, 0, f});
      plan.tail.push_back(
          {session::EncodeFileHeader(version, static_cast<std::int32_t>(f->gzipBytes), f->name), f->path,
           f->gzipBytes, true});
      total += f->gzipBytes;
    }
    plan.list.counts[last] = static_cast<std::uint16_t>(plan.list.counts[last] + 2);
  }
  plan.list.totalBytes = static_cast<std::int32_t>(total);

  if (plan.notice) {
    const NoticePage& notice = snapshot->notice;
    const auto length = session::EncodeNoticeLength(static_cast<std::uint32_t>(notice.bytes));
    plan.head.push_back({{length.begin(), length.end()}, notice.path, notice.bytes, false});
  }
  const auto list = session::EncodeFileListHeader(plan.list);
  plan.head.push_back({{list.begin(), list.end()}, {}, 0, false});
  for (std::size_t i = 0; i < plan.SegmentCount(); ++i) {
    plan.wireBytes += plan.SegmentAt(i).bytes.size() + plan.SegmentAt(i).fileBytes;
  }
  plan.snapshot = std::move(snapshot);
  return plan;
}

session::VersionReply MakeVersionReply(const Snapshot& snapshot, session::Ipv4Address redirect) {
  session::VersionReply reply;
  reply.major = snapshot.Counter(0);
  reply.minor = snapshot.Counter(1);
  reply.redirect = redirect;
  reply.noticeTime = snapshot.notice.stamp;
  return reply;
}

}  // namespace server
