#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "server/store_upkeep.h"
#include "store_files.h"

namespace server {

namespace {

/// True when another process holds a lock on PATH: a running server's
/// snapshot may still open what it names.
bool HeldByOthers(const std::string& path) {
  store::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  // Taken and dropped at once: a snapshot that locks PATH afterwards finds
  // CURRENT moved past its state (the store lock keeps it there) and is not used.
  return ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0;
}

/// Every copy that some session of the signed SNAPSHOT is sent: each pair of
/// installed versions the store's counters allow is planned (the state a
/// session ends at depends on both).
std::unordered_set<const StoredFile*> SignedSentCopies(const Snapshot& snapshot, const PlanLimits& limits) {
  std::unordered_set<const StoredFile*> sent;
  std::set<std::tuple<int, std::uint32_t, std::uint32_t>> planned;
  auto mark = [&](int kind, std::uint32_t installed, std::uint32_t upTo) {
    if (installed >= upTo || !planned.emplace(kind, installed, upTo).second) return;
    const auto plan = PlanKind(snapshot, kind, installed, UINT32_MAX, UINT64_MAX, upTo);
    for (const PlannedFile& f : plan->files) sent.insert(f.file);
  };
  for (std::uint32_t a = 0; a <= snapshot.Counter(0); ++a) {
    for (std::uint32_t b = 0; b <= snapshot.Counter(1); ++b) {
      if (const SignedState* end = ChooseSignedState(snapshot, a, b, limits)) {
        mark(0, a, end->counters[0]);
        mark(1, b, end->counters[1]);
      }
    }
  }
  return sent;
}

/// Every copy that some session of SNAPSHOT is sent, whatever versions it has installed.
std::unordered_set<const StoredFile*> SentCopies(const Snapshot& snapshot, const PlanLimits& limits) {
  if (snapshot.isSigned) return SignedSentCopies(snapshot, limits);
  std::unordered_set<const StoredFile*> sent;
  auto mark = [&](const KindPlan& plan) {
    for (const PlannedFile& f : plan.files) sent.insert(f.file);
  };
  // Kind 1 files get what the kind 0 files of the session left of the byte
  // budget, so each budget a kind 0 plan leaves is tried.
  std::set<std::uint64_t> budgets{limits.maxTotalBytes};
  for (std::uint32_t a = 0; a < snapshot.Counter(0); ++a) {
    const auto plan = PlanKind(snapshot, 0, a, limits.maxFilesPerKind, limits.maxTotalBytes);
    mark(*plan);
    budgets.insert(limits.maxTotalBytes - plan->bytes);
  }
  // The version a plan reaches never falls as its budget grows, and plans
  // that reach the same version are the same: between two budgets whose
  // plans reach alike, every budget gives that plan.
  const std::vector<std::uint64_t> sorted(budgets.begin(), budgets.end());
  for (std::uint32_t b = 0; b < snapshot.Counter(1); ++b) {
    auto plan = [&](std::size_t i) { return PlanKind(snapshot, 1, b, limits.maxFilesPerKind, sorted[i]); };
    std::function<void(std::size_t, std::size_t, std::uint32_t, std::uint32_t)> cover =
        [&](std::size_t low, std::size_t high, std::uint32_t lowReached, std::uint32_t highReached) {
          if (high - low < 2 || lowReached == highReached) return;
          const std::size_t middle = low + (high - low) / 2;
          const auto between = plan(middle);
          mark(*between);
          cover(low, middle, lowReached, between->reached);
          cover(middle, high, between->reached, highReached);
        };
    const auto lowest = plan(0), highest = plan(sorted.size() - 1);
    mark(*lowest);
    mark(*highest);
    cover(0, sorted.size() - 1, lowest->reached, highest->reached);
  }
  return sent;
}

bool Missing(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

/// Removes the store-relative PATH (unless DRYRUN) and counts it in RESULT.
void RemoveStored(const std::string& root, const std::string& path, bool dryRun, PruneResult& result) {
  const std::string full = root + "/" + path;
  struct stat st {};
  if (::lstat(full.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    store::ThrowSystem(full);
  }
  if (!dryRun && ::unlink(full.c_str()) != 0 && errno != ENOENT) store::ThrowSystem(full);
  result.removed.push_back(path);
  result.bytesFreed += static_cast<std::uint64_t>(st.st_size);
}

/// Removes the folders of FILE (a full path) left empty, up to STOP.
void RemoveEmptyFolders(const std::filesystem::path& file, const std::filesystem::path& stop) {
  for (auto folder = file.parent_path(); folder != stop && folder.string().size() > stop.string().size();
       folder = folder.parent_path()) {
    if (::rmdir(folder.c_str()) != 0) break;
  }
}

void PruneKind(const std::string& root, const Snapshot& snapshot, int kind,
               const std::unordered_set<const StoredFile*>& sent, const PruneOptions& options,
               PruneResult& result) {
  std::map<std::uint32_t, bool> heldVersions;
  auto versionHeld = [&](std::uint32_t v) {
    const auto [at, isNew] = heldVersions.emplace(v, false);
    if (isNew) at->second = HeldByOthers(root + "/" + store::ManifestPath(kind, v));
    return at->second;
  };
  // From the newest release down: the release that next changed each name.
  std::unordered_map<std::string_view, std::uint32_t> nextChange;
  for (std::uint32_t v = snapshot.Counter(kind); v >= 1; --v) {
    const Release& release = *snapshot.releases[kind][v - 1];
    const std::string folder = store::ReleaseFolder(kind, v);
    std::set<std::string> pruned = store::ReadPruned(root, folder);
    std::vector<std::string> removable;
    bool listChanged = false;
    for (const StoredFile& f : release.files) {
      std::uint32_t& next = nextChange[f.name];
      const std::uint32_t changedAgain = next;
      next = v;
      if (changedAgain == 0 || sent.count(&f) != 0) continue;
      const std::string path = folder + "/" + store::StoredName(f.name);
      const bool gone = Missing(root + "/" + path);
      if (gone && pruned.count(f.name) != 0) continue;  // pruned before
      // A snapshot whose newest release lies in v..changedAgain-1 sends this copy.
      bool held = false;
      for (std::uint32_t c = v; c < changedAgain && !held; ++c) held = versionHeld(c);
      if (held) {
        if (!gone) result.held.push_back(path);
        continue;
      }
      listChanged |= pruned.insert(f.name).second;
      if (!gone) removable.push_back(path);
    }
    // The list first: a stop between the two leaves files the next prune removes.
    if (listChanged && !options.dryRun) store::WritePruned(root, folder, pruned);
    for (const std::string& path : removable) {
      RemoveStored(root, path, options.dryRun, result);
      if (!options.dryRun) RemoveEmptyFolders(root + "/" + path, root + "/" + folder + "/files");
    }
  }
}

}  // namespace

PruneResult Prune(const std::string& root, const PruneOptions& options) {
  store::StoreLock lock(root);
  // Holds the state in force itself: only older releases and notices are probed.
  const auto snapshot = LoadSnapshot(root);
  const auto sent = SentCopies(*snapshot, options.limits);
  PruneResult result;
  for (int kind = 0; kind < kKinds; ++kind) PruneKind(root, *snapshot, kind, sent, options, result);

  std::error_code error;
  std::set<std::string> notices;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/notice", error)) {
    if (entry.is_regular_file()) notices.insert("notice/" + entry.path().filename().string());
  }
  for (const std::string& path : notices) {
    if (path == snapshot->notice.path) continue;
    if (HeldByOthers(root + "/" + path)) {
      result.held.push_back(path);
    } else {
      RemoveStored(root, path, options.dryRun, result);
    }
  }
  return result;
}

}  // namespace server
