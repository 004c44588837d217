#include "answer_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>

#include <algorithm>

namespace server {

namespace {

/// Stored files kept open per snapshot; sessions open their own beyond that.
constexpr std::size_t kCachedFiles = 256;
/// Cached files and assembled answers leave this many descriptors to sessions.
constexpr std::size_t kCacheMargin = 64;
/// Distinct requests whose plans are kept per snapshot.
constexpr std::size_t kCachedPlans = 1024;
/// Answers up to this size are assembled whole into an in-memory file.
constexpr std::uint64_t kAssembleBytes = 4u << 20;
/// Most memory and most descriptors held by assembled answers at once.
constexpr std::uint64_t kAssembleBudget = 128u << 20;
constexpr std::size_t kAssembledAnswers = 256;

}  // namespace

Prepared::~Prepared() {
  if (!whole.valid()) return;
  total->bytes -= plan.wireBytes;
  --total->count;
  total->descriptors->Give(1);
}

std::uint32_t Prepared::FilesBefore(std::uint64_t offset) const {
  return static_cast<std::uint32_t>(std::upper_bound(fileEnds.begin(), fileEnds.end(), offset) -
                                    fileEnds.begin());
}

AnswerCache::~AnswerCache() { assembled_.descriptors->Give(files_.size()); }

const std::shared_ptr<const Prepared>& AnswerCache::PlanFor(const session::UpdateRequest& request) {
  const Key key{(std::uint64_t{request.major} << 32) | request.minor,
                request.code == session::RequestNoticeAndFiles};
  auto at = plans_.find(key);
  if (at != plans_.end()) return at->second;
  // Sessions keep what they use; what is dropped here is freed as they end.
  if (plans_.size() >= kCachedPlans) plans_.clear();
  auto prepared = std::make_shared<Prepared>();
  prepared->plan = PlanSession(
      snapshot_, request, limits_,
      [this](int kind, std::uint32_t installed, std::uint32_t maxFiles, std::uint64_t maxBytes,
             std::uint32_t upTo) { return KindPlanFor(kind, installed, maxFiles, maxBytes, upTo); });
  const std::uint64_t size = prepared->plan.wireBytes;
  if (prepared->plan.SegmentCount() > 1 && size <= kAssembleBytes &&
      assembled_.bytes + size <= kAssembleBudget && assembled_.count < kAssembledAnswers &&
      assembled_.descriptors->Take(1, kCacheMargin)) {
    if (Assemble(*prepared)) {
      prepared->total = &assembled_;
      assembled_.bytes += size;
      ++assembled_.count;
    } else {
      assembled_.descriptors->Give(1);
    }
  }
  return plans_.emplace(key, std::move(prepared)).first->second;
}

int AnswerCache::Open(const std::string& path, Fd& own) {
  if (const auto at = files_.find(path); at != files_.end()) return at->second.get();
  Fd fd(::open((snapshot_->root + "/" + path).c_str(), O_RDONLY | O_CLOEXEC));
  const int opened = fd.get();
  if (!fd.valid()) return -1;
  if (files_.size() < kCachedFiles && assembled_.descriptors->Take(1, kCacheMargin)) {
    files_.emplace(path, std::move(fd));
  } else {
    own = std::move(fd);
  }
  return opened;
}

bool AnswerCache::Assemble(Prepared& p) {
  Fd whole(::memfd_create("update-answer", MFD_CLOEXEC));
  if (!whole.valid()) return false;
  std::uint64_t offset = 0;
  bool ok = true;
  for (std::size_t i = 0; i < p.plan.SegmentCount(); ++i) {
    const Segment& segment = p.plan.SegmentAt(i);
    ok = ok && ::write(whole.get(), segment.bytes.data(), segment.bytes.size()) ==
                   static_cast<ssize_t>(segment.bytes.size());
    offset += segment.bytes.size();
    if (ok && !segment.path.empty()) {
      ok = CopyBody(segment, whole.get());
      offset += segment.fileBytes;
    }
    if (segment.body) p.fileEnds.push_back(offset);
  }
  if (!ok || offset != p.plan.wireBytes) {
    p.fileEnds.clear();
    return false;
  }
  p.whole = std::move(whole);
  return true;
}

bool AnswerCache::CopyBody(const Segment& segment, int to) {
  Fd own;
  const int in = Open(segment.path, own);
  off_t from = 0;
  while (in >= 0 && static_cast<std::uint64_t>(from) < segment.fileBytes) {
    const ssize_t n = ::sendfile(to, in, &from, segment.fileBytes - from);
    if (n <= 0) break;
  }
  return in >= 0 && static_cast<std::uint64_t>(from) == segment.fileBytes;
}

// Plans within the full limits are shared: while any session holds one,
// every session asking for it gets that one, so their number is bounded by
// the store's versions, not by the sessions. The most recent ones are kept
// for sessions to come. A signed store's plan that ends where the shared one
// does is the shared one.
std::shared_ptr<const KindPlan> AnswerCache::KindPlanFor(int kind, std::uint32_t installed,
                                                         std::uint32_t maxFiles, std::uint64_t maxBytes,
                                                         std::uint32_t upTo) {
  std::weak_ptr<const KindPlan>& slot = kindPlans_[kind][installed];
  std::shared_ptr<const KindPlan> full = slot.lock();
  if (!full) {
    full = PlanKind(*snapshot_, kind, installed, limits_.maxFilesPerKind, limits_.maxTotalBytes);
    slot = full;
    recentKindPlans_[recentTurn_++ % recentKindPlans_.size()] = full;
    if (++kindPlansMade_ % 1024 == 0) {
      for (auto& plans : kindPlans_) std::erase_if(plans, [](const auto& p) { return p.second.expired(); });
    }
  }
  if ((upTo == UINT32_MAX || full->reached == upTo) && full->files.size() <= maxFiles &&
      full->bytes <= maxBytes) {
    return full;
  }
  // Cut shorter for this session's total: made for it alone (rare).
  return PlanKind(*snapshot_, kind, installed, maxFiles, maxBytes, upTo);
}

}  // namespace server
