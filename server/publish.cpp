#include "server/publish.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "session/wire.h"
#include "store_files.h"

namespace fs = std::filesystem;

namespace server {

namespace {

/// libdeflate's best (and slowest) level: the smallest downloads.
constexpr int kCompressionLevel = 12;

struct SourceFile {
  std::string name;      // as sent: "data\maps\a.dat"
  std::string relative;  // what is read, below the folder and through no link: "data/maps/a.dat"
};

/// The folder being published, open for the whole publish.
struct Folder {
  std::string path;
  store::Fd fd;
};

/// The name of the system's own file system holding ST's file, or nullptr:
/// there a file that looks regular holds the state of the machine or of a
/// process, made up when read (/proc/self/environ), never something to publish.
const char* SystemFileSystem(const struct statfs& st) {
  static constexpr struct {
    unsigned long magic;
    const char* name;
  } kSystem[] = {
      {PROC_SUPER_MAGIC, "proc"},      {SYSFS_MAGIC, "sysfs"},           {DEBUGFS_MAGIC, "debugfs"},
      {TRACEFS_MAGIC, "tracefs"},      {SECURITYFS_MAGIC, "securityfs"}, {SELINUX_MAGIC, "selinuxfs"},
      {SMACK_MAGIC, "smackfs"},        {CGROUP_SUPER_MAGIC, "cgroup"},   {CGROUP2_SUPER_MAGIC, "cgroup2"},
      {EFIVARFS_MAGIC, "efivarfs"},    {PSTOREFS_MAGIC, "pstore"},       {BPF_FS_MAGIC, "bpf"},
      {BINFMTFS_MAGIC, "binfmt_misc"}, {DEVPTS_SUPER_MAGIC, "devpts"},   {NSFS_MAGIC, "nsfs"}};
  for (const auto& system : kSystem) {
    if (static_cast<unsigned long>(st.f_type) == system.magic) return system.name;
  }
  return nullptr;
}

/// True when PATH lies below FOLDER (both canonical).
bool IsBelow(const fs::path& path, const fs::path& folder) {
  const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return f == folder.end() && p != path.end();
}

/// Why the link at PATH cannot be published, or empty when it leads to a
/// regular file inside FOLDER (canonical); RELATIVE then names that file.
std::string CheckLink(const fs::path& path, const fs::path& folder, std::string& relative) {
  std::error_code error;
  const fs::path target = fs::canonical(path, error);
  if (error) return "link to nothing publishable";
  if (fs::is_directory(target, error)) return "link to a folder (links to folders are not followed)";
  if (!IsBelow(target, folder)) {
    const fs::path written = fs::read_symlink(path, error);
    const std::string shown =
        written == target ? target.string() : written.string() + " (" + target.string() + ")";
    return "link to " + shown + ", outside the folder: only files inside it are published";
  }
  if (!fs::is_regular_file(target, error)) return "link to nothing publishable";
  relative = target.lexically_relative(folder).string();
  return {};
}

/// Every file below DIR with its name; names that cannot be published go to REFUSALS.
std::vector<SourceFile> ScanFolder(const std::string& dir, std::vector<NameRefusal>& refusals) {
  std::error_code error;
  if (!fs::is_directory(dir, error)) throw StoreError(dir + ": not a folder");
  const fs::path folder = fs::canonical(dir, error);
  if (error) throw StoreError(dir + ": " + error.message());
  std::vector<SourceFile> files;
  fs::recursive_directory_iterator it(dir, fs::directory_options::none, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(dir);
    std::string name;
    std::string refusal;
    for (const fs::path& part : relative) {
      const std::string text = part.string();
      if (text.find('\\') != std::string::npos) refusal = "'\\' inside a file or folder name";
      if (!name.empty()) name += '\\';
      name += text;
    }
    const fs::file_status own = it->symlink_status(error);
    if (error) break;
    if (fs::is_directory(own)) continue;
    std::string read = relative.string();
    if (fs::is_symlink(own)) {
      if (std::string why = CheckLink(it->path(), folder, read); !why.empty()) refusal = why;
    } else if (!fs::is_regular_file(own)) {
      refusal = "not a regular file";
    }
    if (struct statfs st{}; refusal.empty() && ::statfs((folder / read).c_str(), &st) == 0) {
      if (const char* system = SystemFileSystem(st)) {
        refusal = std::string("file of the system's ") + system + " file system, made up when read";
      }
    }
    if (refusal.empty()) {
      if (const char* why = CheckPublishName(name)) refusal = why;
    }
    if (!refusal.empty()) {
      refusals.push_back({name, refusal});
    } else {
      files.push_back({name, read});
    }
  }
  if (error) throw StoreError(dir + ": " + error.message());
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  // In name order, so that the same folder always gets the same refusals.
  std::map<std::string, std::string> byFoldedName;
  std::erase_if(files, [&](const SourceFile& f) {
    const auto [at, added] = byFoldedName.emplace(FoldLetterCase(f.name), f.name);
    if (!added) {
      refusals.push_back(
          {f.name, "same name as " + at->second + " apart from letter case (one file on the player's disk)"});
    }
    return !added;
  });
  return files;
}

/// Opens RELATIVE below the folder FOLDER for reading without following any
/// link and without leaving the folder, so that a link or a special file put
/// there since the scan is never read; the kernel enforces both where it
/// can (openat2), elsewhere only the last part is kept from being a link.
int OpenBelow(int folder, const std::string& relative) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
#ifdef SYS_openat2
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);  // EPERM: a filter
#endif
  return ::openat(folder, relative.c_str(), flags);
}

PublishRefused Refused(const std::string& dir, std::vector<NameRefusal> refusals) {
  const std::string what =
      dir + ": " + std::to_string(refusals.size()) + " file(s) cannot be published; nothing was published";
  return PublishRefused(what, std::move(refusals));
}

/// Removes what an interrupted publish left: the work folders, a written but
/// never installed CURRENT.new, and release folders above the counters.
void RemoveLeftovers(const std::string& root, const store::StoreState& state) {
  store::RemoveTree(root + "/tmp");
  ::unlink((root + "/" + store::kStateFile + ".new").c_str());
  for (int kind = 0; kind < kKinds; ++kind) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root + "/" + KindName(kind), error)) {
      const std::string name = entry.path().filename().string();
      char* end = nullptr;
      const unsigned long long version = std::strtoull(name.c_str(), &end, 10);
      if (!name.empty() && *end == '\0' && version > state.counters[kind]) {
        store::RemoveTree(entry.path().string());
      }
    }
  }
  // Manifests of states above the counters: a later state of the same
  // versions would be another one.
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root + "/" + kStateManifestFolder, error)) {
    // The manifest and the files named after it ("3-12.manifest.minisig.gz").
    const std::string name = entry.path().filename().string();
    constexpr std::string_view kManifest = ".manifest";
    const std::size_t at = name.find(kManifest);
    std::uint32_t major = 0, minor = 0;
    if (at != std::string::npos &&
        ParseStateManifestName(std::string_view(name).substr(0, at + kManifest.size()), major, minor) &&
        (major > state.counters[0] || minor > state.counters[1])) {
      ::unlink(entry.path().c_str());
    }
  }
}

/// Reads up to SIZE bytes, fewer only at the end of the file.
std::size_t ReadFull(int fd, std::uint8_t* buffer, std::size_t size, const std::string& path) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, buffer + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      store::ThrowSystem(path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

/// One compression thread's tools, reused from file to file.
class Compressor {
 public:
  Compressor() : compressor_(libdeflate_alloc_compressor(kCompressionLevel)) {
    if (compressor_ == nullptr) throw StoreError("out of memory for the compressor");
  }
  ~Compressor() { libdeflate_free_compressor(compressor_); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  /// Compresses SOURCE into a new file at TARGET as a gzip stream, synced to
  /// disk. Fills the sizes of FILE.
  void Store(const SourceFile& source, const Folder& folder, const std::string& target,
             std::size_t pieceBytes, StoredFile& file) {
    const std::string path = folder.path + "/" + source.relative;
    store::Fd in(OpenBelow(folder.fd.get(), source.relative));
    if (in.get() < 0 && (errno == ELOOP || errno == EXDEV)) {
      throw StoreError(path + ": became a link since the folder was read");
    }
    if (in.get() < 0) store::ThrowSystem(path);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) store::ThrowSystem(path);
    struct statfs sfs {};
    if (::fstatfs(in.get(), &sfs) != 0) store::ThrowSystem(path);
    if (!S_ISREG(st.st_mode) || SystemFileSystem(sfs) != nullptr) {
      throw StoreError(path + ": no longer a regular file of the folder");
    }
    const std::size_t piece = std::clamp<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 1,
                                                      std::max<std::size_t>(pieceBytes, 1));
    input_.resize(piece);
    output_.resize(libdeflate_gzip_compress_bound(compressor_, piece));
    store::Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0) store::ThrowSystem(target);
    std::uint64_t original = 0, compressed = 0;
    std::uint32_t crc = 0;
    for (bool first = true;; first = false) {
      const std::size_t n = ReadFull(in.get(), input_.data(), piece, path);
      if (n == 0 && !first) break;
      const std::size_t made =
          libdeflate_gzip_compress(compressor_, input_.data(), n, output_.data(), output_.size());
      if (made == 0) throw StoreError(path + ": compression failed");
      store::WriteAll(out.get(), output_.data(), made, target);
      crc = libdeflate_crc32(crc, output_.data(), made);
      original += n;
      compressed += made;
      if (n < piece) break;
    }
    if (::fsync(out.get()) != 0) store::ThrowSystem(target);
    out.Close(target);
    if (compressed > kMaxBytesPerRelease) {
      throw StoreError(path + ": " + std::to_string(compressed) +
                       " bytes compressed, more than one release may hold");
    }
    file.originalBytes = original;
    file.gzipBytes = static_cast<std::uint32_t>(compressed);
    file.storedCrc = crc;
  }

 private:
  libdeflate_compressor* compressor_;
  std::vector<std::uint8_t> input_, output_;
};

/// Compresses every source, read below FOLDER, into WORK/files/..., JOBS files at a time.
void StoreFiles(const std::vector<SourceFile>& sources, const Folder& folder, const std::string& work,
                const PublishOptions& options, std::vector<StoredFile>& stored,
                const std::function<void()>& fileStored) {
  // Folders first, on this thread: the workers only create files.
  std::set<std::string> folders;
  for (const SourceFile& source : sources) {
    const fs::path target = work + "/" + store::StoredName(source.name);
    for (fs::path p = target.parent_path(); p.string().size() > work.size(); p = p.parent_path()) {
      folders.insert(p.string());
    }
  }
  for (const std::string& folder : folders) store::CreateFolder(folder);  // sorted: parents first

  stored.resize(sources.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr firstError;
  std::mutex mutex;
  auto work_loop = [&] {
    try {
      Compressor compressor;
      for (std::size_t i; !failed && (i = next++) < sources.size();) {
        stored[i].name = sources[i].name;
        compressor.Store(sources[i], folder, work + "/" + store::StoredName(sources[i].name),
                         options.pieceBytes, stored[i]);
        std::lock_guard<std::mutex> lock(mutex);
        fileStored();
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failed.exchange(true)) firstError = std::current_exception();
    }
  };
  unsigned jobs = options.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, sources.size()));
  std::vector<std::thread> threads;
  for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work_loop);
  work_loop();
  for (std::thread& t : threads) t.join();
  if (firstError) std::rethrow_exception(firstError);

  // The new entries of every folder must be durable before the release is placed.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) store::SyncDirectory(*it);
}

}  // namespace

namespace {

using Step = std::function<void(PublishStep)>;

/// Refuses the sources whose names CURRENT holds as files of the other kind:
/// the updater installs kind 1 files after kind 0 files, so a name in both
/// would let an older copy win.
void RefuseOtherKindNames(const Snapshot& current, int kind, const std::vector<SourceFile>& sources,
                          std::vector<NameRefusal>& refusals) {
  const int other = 1 - kind;
  std::map<std::string, std::uint32_t> otherNames;
  for (const auto& release : current.releases[other]) {
    for (const StoredFile& f : release->files) otherNames[FoldLetterCase(f.name)] = release->version;
  }
  for (const SourceFile& source : sources) {
    if (auto at = otherNames.find(FoldLetterCase(source.name)); at != otherNames.end()) {
      refusals.push_back({source.name, std::string("already published as a ") + KindName(other) + " file (" +
                                           KindName(other) + " version " + std::to_string(at->second) +
                                           "); a name stays with one kind"});
    }
  }
}

/// In a signed store, refuses the sources (and, on its first signed publish,
/// the files the store already holds) named like the manifest's own files.
void RefuseManifestNames(const Snapshot& current, const std::vector<SourceFile>& sources,
                         std::vector<NameRefusal>& refusals) {
  for (const SourceFile& source : sources) {
    if (const char* why = CheckSignedStoreName(source.name)) refusals.push_back({source.name, why});
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    for (const auto& release : current.releases[kind]) {
      for (const StoredFile& f : release->files) {
        if (CheckSignedStoreName(f.name) != nullptr) {
          throw StoreError(current.root + ": " + KindName(kind) + " version " +
                           std::to_string(release->version) + " holds " + f.name +
                           ", the name of the signed manifest; the store cannot be signed");
        }
      }
    }
  }
}

/// Stores the sources as RELEASE in a work folder, places it and commits
/// STATE with its version; on any failure removes what it made and throws.
/// Returns why the commit may not survive a power loss (empty otherwise).
std::string WriteRelease(const std::string& root, const std::string& dir,
                         const std::vector<SourceFile>& sources, const Folder& input,
                         const PublishOptions& options, const Snapshot& current, store::StoreState& state,
                         Release& release, const Step& step) {
  const int kind = release.kind;
  const std::string work = root + "/tmp/" + KindName(kind) + "-" + std::to_string(release.version) + "." +
                           std::to_string(::getpid());
  const std::string target = root + "/" + store::ReleaseFolder(kind, release.version);
  bool placed = false;
  StateSigner signer(root, options.signing);
  try {
    store::CreateFolder(root + "/tmp");
    store::CreateFolder(work);
    store::CreateFolder(work + "/files");
    StoreFiles(sources, input, work, options, release.files, [&] { step(PublishStep::FileStored); });
    if (release.GzipTotal() > kMaxBytesPerRelease) {
      throw StoreError(dir + ": " + std::to_string(release.GzipTotal()) +
                       " bytes compressed; one release may hold at most " +
                       std::to_string(kMaxBytesPerRelease));
    }
    store::WriteDurably(work + "/manifest", store::FormatManifest(release));
    store::WriteDurably(work + "/" + store::kChecksumsFile, store::FormatChecksums(release));
    store::SyncDirectory(work);
    step(PublishStep::ManifestStored);

    store::CreateFolder(root + "/" + KindName(kind));
    placed = true;
    if (::rename(work.c_str(), target.c_str()) != 0) store::ThrowSystem(target);
    store::SyncDirectory(root + "/" + KindName(kind));
    step(PublishStep::ReleasePlaced);
    if (options.signing.key) signer.Sign(current, release);

    state.counters[kind] = release.version;
    return store::CommitState(root, state, [&] { step(PublishStep::StateWritten); });
  } catch (...) {
    store::RemoveTree(work);
    ::rmdir((root + "/tmp").c_str());
    if (placed) store::RemoveTree(target);
    signer.Undo();
    ::unlink((root + "/" + store::kStateFile + ".new").c_str());
    throw;
  }
}

/// What the operator should know about the published RELEASE, whose files
/// get their paths in FOLDER here; SYNCWARNING as WriteRelease returned it.
std::vector<std::string> Notes(Release& release, const std::string& folder, const std::string& syncWarning) {
  std::vector<std::string> notes;
  if (!syncWarning.empty()) {
    notes.push_back("published, but the store folder could not be synced (" + syncWarning +
                    "); a power loss now may undo it");
  }
  for (StoredFile& f : release.files) {
    f.path = folder + "/" + store::StoredName(f.name);
    const std::string local = session::LocalFileName(f.name);
    if (local == session::kDiscardedFileName) {
      notes.push_back(f.name + ": the updater keeps it as " + local +
                      " and never installs it "
                      "(it writes its own File.ver)");
    } else if (local != f.name) {
      notes.push_back(f.name + ": the updater stores it as " + local +
                      " beside itself (it never replaces its own program)");
    }
  }
  return notes;
}

}  // namespace

PublishResult Publish(const std::string& root, int kind, const std::string& dir,
                      const PublishOptions& options) {
  const Step step = [&](PublishStep s) {
    if (options.onStep) options.onStep(s);
  };
  std::vector<NameRefusal> refusals;
  const std::vector<SourceFile> sources = ScanFolder(dir, refusals);
  if (!refusals.empty()) throw Refused(dir, std::move(refusals));
  if (sources.empty()) throw StoreError(dir + ": no files to publish");
  if (sources.size() > kMaxFilesPerRelease) {
    throw StoreError(dir + ": " + std::to_string(sources.size()) + " files; one release may change at most " +
                     std::to_string(kMaxFilesPerRelease));
  }
  const Folder input{dir, store::Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))};
  if (input.fd.get() < 0) store::ThrowSystem(dir);

  std::error_code error;
  fs::create_directories(root, error);
  if (error) throw StoreError(root + ": " + error.message());
  store::StoreLock lock(root);
  store::StoreState state = store::ReadStateToChange(root);
  RemoveLeftovers(root, state);
  const std::shared_ptr<const Snapshot> current = LoadSnapshot(root);
  step(PublishStep::Locked);

  CheckSigning(root, options.signing);
  RefuseOtherKindNames(*current, kind, sources, refusals);
  if (options.signing.key) RefuseManifestNames(*current, sources, refusals);
  if (!refusals.empty()) throw Refused(dir, std::move(refusals));
  if (state.counters[kind] == UINT32_MAX) {
    throw StoreError(root + ": " + KindName(kind) + " version " + std::to_string(UINT32_MAX) +
                     " is the last one");
  }

  auto release = std::make_shared<Release>();
  release->kind = kind;
  release->version = state.counters[kind] + 1;
  release->publishedAt = static_cast<std::int64_t>(std::time(nullptr));
  const std::string syncWarning =
      WriteRelease(root, dir, sources, input, options, *current, state, *release, step);
  step(PublishStep::Committed);
  ::rmdir((root + "/tmp").c_str());  // empty unless another publish failed to clean up

  PublishResult result;
  result.notes = Notes(*release, store::ReleaseFolder(kind, release->version), syncWarning);
  if (options.signing.key) result.manifest = StateManifestPath(state.counters[0], state.counters[1]);
  result.release = std::move(release);
  return result;
}

}  // namespace server
