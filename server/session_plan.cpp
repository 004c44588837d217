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
/// version at a time while they fit in MAXFILES and MAXBYTES: a session ends
/// on whole versions. Sets PLAN.bytes and PLAN.reached.
std::vector<Entry> ChangedFiles(const Snapshot& snapshot, KindPlan& plan, std::uint32_t maxFiles,
                                std::uint64_t maxBytes) {
  std::vector<Entry> entries;
  std::unordered_map<std::string_view, std::size_t> byName;
  const std::uint32_t newest = snapshot.Counter(plan.kind);
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
                                         std::uint32_t maxFiles, std::uint64_t maxBytes) {
  auto made = std::make_shared<KindPlan>();
  KindPlan& plan = *made;
  plan.kind = kind;
  plan.installed = installed;
  plan.reached = installed;
  if (installed >= snapshot.Counter(kind)) return made;  // unsigned: a player ahead of the store gets nothing

  std::vector<Entry> entries = ChangedFiles(snapshot, plan, maxFiles, maxBytes);
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
  return all;
}

SessionPlan PlanSession(std::shared_ptr<const Snapshot> snapshot, const session::UpdateRequest& request,
                        const PlanLimits& limits, const KindPlanner& planner) {
  auto plan_kind = [&](int kind, std::uint32_t installed, std::uint64_t maxBytes) {
    return planner ? planner(kind, installed, limits.maxFilesPerKind, maxBytes)
                   : PlanKind(*snapshot, kind, installed, limits.maxFilesPerKind, maxBytes);
  };
  SessionPlan plan;
  plan.notice = request.code == session::RequestNoticeAndFiles;
  plan.kinds[0] = plan_kind(0, request.major, limits.maxTotalBytes);
  plan.kinds[1] = plan_kind(1, request.minor, limits.maxTotalBytes - plan.kinds[0]->bytes);
  for (int kind = 0; kind < kKinds; ++kind) {
    plan.reached[kind] = plan.kinds[kind]->reached;
    plan.list.counts[kind] = static_cast<std::uint16_t>(plan.kinds[kind]->files.size());
  }
  plan.list.totalBytes = static_cast<std::int32_t>(plan.kinds[0]->bytes + plan.kinds[1]->bytes);

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
