#include "server/release_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/paths.h"
#include "session/wire.h"
#include "store_files.h"

namespace server {

const char* KindName(int kind) { return kind == 0 ? "major" : "minor"; }

bool ParseKind(std::string_view text, int& kind) {
  if (text == "major") {
    kind = 0;
  } else if (text == "minor") {
    kind = 1;
  } else {
    return false;
  }
  return true;
}

std::uint64_t Release::GzipTotal() const {
  std::uint64_t total = 0;
  for (const StoredFile& f : files) total += f.gzipBytes;
  return total;
}

std::uint64_t Release::OriginalTotal() const {
  std::uint64_t total = 0;
  for (const StoredFile& f : files) total += f.originalBytes;
  return total;
}

namespace {

/// True when the manifest of a release held by an earlier snapshot is still
/// the same file, so the release can be taken over without reading it again.
bool ManifestUnchanged(const std::string& root, const Release& release) {
  struct stat st {};
  const std::string path = root + "/" + store::ManifestPath(release.kind, release.version);
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == release.manifestDevice &&
         st.st_ino == release.manifestInode &&
         st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec == release.manifestModified;
}

void RequireFolder(const std::string& root) {
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) store::ThrowSystem(root);
  if (!S_ISDIR(st.st_mode)) throw StoreError(root + ": not a folder");
}

void CreateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) store::ThrowSystem(path);
}

}  // namespace

std::shared_ptr<const Snapshot> LoadSnapshot(const std::string& root, const Snapshot* previous) {
  RequireFolder(root);
  const store::StoreState state = store::ReadState(root);
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->root = root;
  for (int kind = 0; kind < kKinds; ++kind) {
    auto& releases = snapshot->releases[kind];
    releases.reserve(state.counters[kind]);
    for (std::uint32_t v = 1; v <= state.counters[kind]; ++v) {
      if (previous != nullptr && previous->root == root && v <= previous->Counter(kind)) {
        const auto& held = previous->releases[kind][v - 1];
        if (ManifestUnchanged(root, *held)) {
          releases.push_back(held);
          continue;
        }
      }
      releases.push_back(std::make_shared<const Release>(store::ParseManifest(root, kind, v)));
    }
  }
  if (state.noticeStamp != 0) {
    const std::string path = root + "/" + state.noticePath;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) store::ThrowSystem(path);
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > session::kMaxNoticeLength) {
      throw StoreError(path + ": not a notice page the updater can take");
    }
    snapshot->notice = {state.noticeStamp, state.noticePath, static_cast<std::uint64_t>(st.st_size)};
  }
  snapshot->lastStamp = std::max(state.lastStamp, state.noticeStamp);
  return snapshot;
}

std::int32_t SetNotice(const std::string& root, const std::string& file, std::int64_t now) {
  const std::string page = store::ReadWholeFile(file);
  if (page.size() > session::kMaxNoticeLength) throw StoreError(file + ": too large for a notice");
  CreateFolder(root);
  store::StoreLock lock(root);
  store::StoreState state = store::ReadState(root);
  const std::int64_t previous = std::max(state.lastStamp, state.noticeStamp);
  const std::int64_t stamp = previous == 0 ? now : std::max(now, previous + 2);
  if (stamp <= 0 || stamp > std::numeric_limits<std::int32_t>::max()) {
    throw StoreError("no notice stamp fits in 32 bits at this time (" + std::to_string(stamp) + ")");
  }
  CreateFolder(root + "/notice");
  state.noticeStamp = static_cast<std::int32_t>(stamp);
  state.lastStamp = state.noticeStamp;
  state.noticePath = store::NoticePath(state.noticeStamp);
  store::WriteDurably(root + "/" + state.noticePath, page);
  store::SyncDirectory(root + "/notice");
  store::CommitState(root, state, [] {});
  return state.noticeStamp;
}

void ClearNotice(const std::string& root) {
  RequireFolder(root);
  store::StoreLock lock(root);
  store::StoreState state = store::ReadState(root);
  state.lastStamp = std::max(state.lastStamp, state.noticeStamp);
  state.noticeStamp = 0;
  state.noticePath.clear();
  store::CommitState(root, state, [] {});
}

const char* CheckPublishName(std::string_view name) {
  if (name.empty()) return "empty name";
  if (name.size() > session::kMaxFileNameLength) return "name longer than 255 bytes";
  if (!platform::IsContainedRelativeName(name)) {
    if (name.front() == '\\' || name.front() == '/') return "absolute name";
    if (name.find(':') != std::string_view::npos) return "drive or ':' in the name";
    return "'..' in the name";
  }
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return "control character in the name";
    if (std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
      return "character that Windows file names cannot hold (< > \" | ? *)";
    }
    if (c == '/') return "'/' in the name (folders are separated by '\\')";
  }
  if (name.back() == '\\' || name.find("\\\\") != std::string_view::npos) {
    return "empty folder name";
  }
  return nullptr;
}

}  // namespace server
