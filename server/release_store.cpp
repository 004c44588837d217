#include "server/release_store.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/paths.h"
#include "server/signing.h"
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

/// The shared locks of one snapshot (see Snapshot::holds).
struct Holds {
  std::vector<store::Fd> files;
};

/// Holds a shared lock on PATH; a file that cannot be opened is left for the
/// load to report.
void HoldShared(const std::string& path, Holds& holds) {
  store::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return;
  while (::flock(fd.get(), LOCK_SH) != 0 && errno == EINTR) {
  }
  holds.files.push_back(std::move(fd));
}

bool SameState(const store::StoreState& a, const store::StoreState& b) {
  return a.counters[0] == b.counters[0] && a.counters[1] == b.counters[1] && a.noticeStamp == b.noticeStamp &&
         a.noticePath == b.noticePath;
}

/// The state in force with the locks that keep what it sends from a prune:
/// a prune holds the store lock and removes only copies whose newest-release
/// manifests nobody holds, so a lock taken before the state is read again
/// either is seen by the prune or finds CURRENT moved past the state.
std::pair<store::StoreState, std::shared_ptr<const Holds>> ReadHeldState(const std::string& root) {
  for (int attempt = 0;; ++attempt) {
    const store::StoreState state = store::ReadState(root);
    auto holds = std::make_shared<Holds>();
    for (int kind = 0; kind < kKinds; ++kind) {
      if (state.counters[kind] > 0)
        HoldShared(root + "/" + store::ManifestPath(kind, state.counters[kind]), *holds);
    }
    if (state.noticeStamp != 0) HoldShared(root + "/" + state.noticePath, *holds);
    if (SameState(state, store::ReadState(root))) return {state, std::move(holds)};
    if (attempt == 10) throw StoreError(root + ": the state changes faster than it can be read");
  }
}

}  // namespace

std::shared_ptr<const Snapshot> LoadSnapshot(const std::string& root, const Snapshot* previous) {
  RequireFolder(root);
  auto [state, holds] = ReadHeldState(root);
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->root = root;
  snapshot->holds = std::move(holds);
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
  ReadSignedStates(*snapshot);
  return snapshot;
}

std::int32_t SetNotice(const std::string& root, const std::string& file, std::int64_t now) {
  const std::string page = store::ReadWholeFile(file);
  if (page.size() > session::kMaxNoticeLength) throw StoreError(file + ": too large for a notice");
  store::CreateFolder(root);
  store::StoreLock lock(root);
  store::StoreState state = store::ReadStateToChange(root);
  const std::int64_t previous = std::max(state.lastStamp, state.noticeStamp);
  const std::int64_t stamp = previous == 0 ? now : std::max(now, previous + 2);
  if (stamp <= 0 || stamp > std::numeric_limits<std::int32_t>::max()) {
    throw StoreError("no notice stamp fits in 32 bits at this time (" + std::to_string(stamp) + ")");
  }
  store::CreateFolder(root + "/notice");
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
  store::StoreState state = store::ReadStateToChange(root);
  state.lastStamp = std::max(state.lastStamp, state.noticeStamp);
  state.noticeStamp = 0;
  state.noticePath.clear();
  store::CommitState(root, state, [] {});
}

const char* CheckServedName(std::string_view name) {
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

namespace {

/// True when PART (one file or folder name) names a device on Windows, with
/// or without an extension and in any letter case: "CON", "nul.dat", "Com1.ini".
bool IsWindowsDeviceName(std::string_view part) {
  std::string_view base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);  // "nul .txt" is NUL too
  std::string upper(base);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
    if (upper == device) return true;
  }
  if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const std::string_view number = std::string_view(upper).substr(3);
  // COM1-COM9, and the superscript digits one to three that Windows takes as digits.
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

const char* CheckPublishName(std::string_view name) {
  if (const char* why = CheckServedName(name)) return why;
  if (name.size() > kMaxInstalledNameLength) {
    return "name longer than 253 bytes (the updater cannot install it)";
  }
  std::string_view rest = name;
  for (;;) {
    const std::size_t separator = rest.find('\\');
    const std::string_view part = rest.substr(0, separator);
    if (part.back() == '.' || part.back() == ' ') {
      return "file or folder name ending in '.' or a blank (Windows drops it)";
    }
    if (IsWindowsDeviceName(part)) {
      return "name Windows keeps for a device (CON PRN AUX NUL COM1-9 LPT1-9, with any extension)";
    }
    if (separator == std::string_view::npos) {
      if (part.size() > kMaxInstalledFileNameLength) {
        return "file name longer than 252 bytes (the updater stores it with \".gz\" appended)";
      }
      return nullptr;
    }
    rest.remove_prefix(separator + 1);
  }
}

std::string FoldLetterCase(std::string_view name) {
  // The C.UTF-8 locale is part of the C library's base package; without it
  // only ASCII letters are folded.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t());
  std::string folded;
  folded.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const std::size_t length = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 1;
    char32_t code = length == 2 ? lead & 0x1F : lead & 0x0F;
    bool valid = length > 1 && i + length <= name.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (valid && (code < 0x80 || (length == 3 && code < 0x800) || (code >= 0xD800 && code < 0xE000))) {
      valid = false;  // overlong forms and surrogates are not UTF-8
    }
    if (!valid) {
      const char c = name[i++];
      folded += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
      continue;
    }
    if (utf8 != locale_t()) {
      const auto upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(code), utf8));
      if (upper < 0x10000) code = upper;
    }
    i += length;
    if (code < 0x80) {  // U+017F (long s) is 'S'
      folded += static_cast<char>(code);
      continue;
    }
    if (code < 0x800) {
      folded += static_cast<char>(0xC0 | (code >> 6));
    } else {
      folded += static_cast<char>(0xE0 | (code >> 12));
      folded += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    }
    folded += static_cast<char>(0x80 | (code & 0x3F));
  }
  return folded;
}

}  // namespace server
