#include "server/signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "store_files.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace server {

namespace {

/// Largest key file read: a key file is two short lines.
constexpr std::size_t kMaxKeyFileSize = 4096;

bool SameKey(const trust::PublicKey& a, const trust::PublicKey& b) { return a.id == b.id && a.key == b.key; }

/// A small file read whole; throws when it is missing, unreadable or larger than LIMIT.
std::string ReadSmallFile(const std::string& path, std::size_t limit) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) store::ThrowSystem(path);
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > limit) {
    throw StoreError(path + ": not a key file (not a small regular file)");
  }
  return store::ReadWholeFile(path);
}

/// Writes DATA to a new file at PATH, created with MODE; fails when PATH exists.
void WriteNewFile(const std::string& path, const std::string& data, mode_t mode) {
  store::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) store::ThrowSystem(path);
  store::WriteAll(fd.get(), data.data(), data.size(), path);
  if (::fsync(fd.get()) != 0) store::ThrowSystem(path);
  fd.Close(path);
}

/// Fills ENTRY from the stored gzip stream at PATH: its size and hash, and
/// the size and hash of the content it decodes to (every member). FILE's
/// recorded sizes must match.
void HashStoredStream(const std::string& path, const StoredFile& file, trust::ManifestEntry& entry) {
  store::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) store::ThrowSystem(path);
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw StoreError("out of memory for decompression");
  struct End {
    z_stream& z;
    ~End() { inflateEnd(&z); }
  } end{z};
  trust::Hasher stream, content;
  std::vector<unsigned char> in(1 << 16), out(1 << 18);
  bool memberOpen = false;  // bytes of a member read, its end not yet
  for (;;) {
    const ssize_t n = ::read(fd.get(), in.data(), in.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      store::ThrowSystem(path);
    }
    if (n == 0) break;
    stream.Update(in.data(), static_cast<std::size_t>(n));
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(n);
    while (z.avail_in > 0) {
      if (!memberOpen) {
        inflateReset(&z);
        memberOpen = true;
      }
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      const int status = inflate(&z, Z_NO_FLUSH);
      content.Update(out.data(), out.size() - z.avail_out);
      if (status == Z_STREAM_END) {
        memberOpen = false;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        throw StoreError(path + ": damaged gzip stream; the store needs repair before it can be signed");
      }
    }
  }
  if (memberOpen || stream.size() != file.gzipBytes || content.size() != file.originalBytes) {
    throw StoreError(path + ": does not hold what its release's manifest records");
  }
  entry.name = file.name;
  entry.size = content.size();
  entry.streamSize = stream.size();
  entry.contentHash = content.Final();
  entry.streamHash = stream.Final();
}

/// The manifest of the state in force under ROOT, read and checked with
/// KEY, or nothing when it is missing or does not verify.
std::optional<trust::Manifest> ReadStateManifest(const std::string& root, const trust::PublicKey& key,
                                                 std::uint32_t major, std::uint32_t minor,
                                                 std::string* problem = nullptr) {
  const std::string path = root + "/" + StateManifestPath(major, minor);
  std::string text, signature;
  try {
    text = store::ReadWholeFile(path);
    signature = store::ReadWholeFile(path + ".minisig");
  } catch (const StoreError& e) {
    if (problem) *problem = e.what();
    return std::nullopt;
  }
  trust::Manifest manifest;
  const trust::Verdict verdict = trust::VerifyManifest(key, text, signature, manifest);
  if (verdict != trust::Verdict::Accepted) {
    if (problem) *problem = path + ": " + trust::VerdictText(verdict);
    return std::nullopt;
  }
  if (manifest.game != trust::kGameName || manifest.major != major || manifest.minor != minor) {
    if (problem) *problem = path + ": names another game or other versions";
    return std::nullopt;
  }
  return manifest;
}

/// Where a file of the game lives in the store at one state.
struct Copy {
  const StoredFile* file;
  std::string path;  ///< of its gzip stream, relative to the store folder
};

/// The newest copy of every file of CURRENT plus RELEASE, by name.
std::map<std::string, Copy> NewestCopies(const Snapshot& current, const Release* release) {
  std::map<std::string, Copy> newest;
  const auto take = [&](const Release& r) {
    const std::string folder = store::ReleaseFolder(r.kind, r.version);
    for (const StoredFile& f : r.files) newest[f.name] = {&f, folder + "/" + store::StoredName(f.name)};
  };
  for (int kind = 0; kind < kKinds; ++kind) {
    for (const auto& r : current.releases[kind]) take(*r);
  }
  if (release != nullptr) take(*release);
  return newest;
}

/// Replaces the file at PATH by DATA: written and synced under WORK first.
void ReplaceDurably(const std::string& work, const std::string& path, const std::string& data) {
  store::WriteDurably(work, data);
  if (::rename(work.c_str(), path.c_str()) != 0) store::ThrowSystem(path);
}

/// The size of the regular file at PATH, or nothing when it is not one.
std::optional<std::uint64_t> RegularFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

/// What the gzip stream GZ decodes to, or nothing when it is not one whole
/// gzip member decoding to at most LIMIT bytes.
std::optional<std::string> DecodeSmallGzip(const std::string& gz, std::size_t limit) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw StoreError("out of memory for decompression");
  std::string out(limit + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool whole = status == Z_STREAM_END && z.avail_in == 0;
  out.resize(z.total_out);
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  return out;
}

}  // namespace

bool ParseStateManifestName(std::string_view name, std::uint32_t& major, std::uint32_t& minor) {
  constexpr std::string_view kSuffix = ".manifest";
  if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
  const std::string_view stem = name.substr(0, name.size() - kSuffix.size());
  const std::size_t dash = stem.find('-');
  const auto number = [](std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0') ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    const unsigned long long parsed = std::stoull(std::string(text));
    value = static_cast<std::uint32_t>(parsed);
    return parsed <= UINT32_MAX;
  };
  return dash != std::string_view::npos && number(stem.substr(0, dash), major) &&
         number(stem.substr(dash + 1), minor);
}

std::string StoredGzip(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, 0, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw StoreError("out of memory for compression");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (status != Z_STREAM_END) throw StoreError("a manifest cannot be made into a gzip stream");
  return out;
}

void ReadSignedStates(Snapshot& snapshot) {
  const std::string& root = snapshot.root;
  if (::access((root + "/" + kSigningKeyFile).c_str(), F_OK) != 0) {
    if (errno == ENOENT) return;
    store::ThrowSystem(root + "/" + kSigningKeyFile);
  }
  snapshot.isSigned = true;
  // Only states signed with the store's key are sessions' ends: after a
  // change of key, players hold the new public key and refuse the old one's.
  std::optional<trust::PublicKey> key;
  try {
    key = ReadSigningKey(root);
  } catch (const StoreError&) {
    // An unreadable key leaves no state a keyed player could accept; show and check say why.
  }
  const auto signedWithKey = [&](const std::string& signaturePath) {
    try {
      trust::SignatureFile signature;
      return key &&
             trust::ParseSignatureFile(ReadSmallFile(signaturePath, trust::kMaxSignatureFileSize),
                                       signature) == trust::Verdict::Accepted &&
             signature.keyId == key->id;
    } catch (const StoreError&) {
      return false;
    }
  };
  std::vector<SignedState> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/" + kStateManifestFolder, error)) {
    SignedState state;
    if (!ParseStateManifestName(entry.path().filename().string(), state.counters[0], state.counters[1]) ||
        state.counters[0] > snapshot.Counter(0) || state.counters[1] > snapshot.Counter(1)) {
      continue;  // states above the counters are what an interrupted publish left
    }
    const std::string path = StateManifestPath(state.counters[0], state.counters[1]);
    const auto manifestBytes = RegularFileSize(root + "/" + path + ".gz");
    const auto signatureBytes = RegularFileSize(root + "/" + path + ".minisig.gz");
    if (!manifestBytes || !signatureBytes || *manifestBytes > UINT32_MAX || *signatureBytes > UINT32_MAX ||
        !signedWithKey(root + "/" + path + ".minisig")) {
      continue;
    }
    state.manifest = {trust::kManifestFileName, static_cast<std::uint32_t>(*manifestBytes), 0, path + ".gz"};
    state.signature = {trust::kManifestSignatureFileName, static_cast<std::uint32_t>(*signatureBytes), 0,
                       path + ".minisig.gz"};
    found.push_back(std::move(state));
  }
  // Newest first, keeping each state that lies below the one kept before it:
  // states published one after the other always do.
  std::sort(found.begin(), found.end(), [](const SignedState& a, const SignedState& b) {
    return a.counters[0] != b.counters[0] ? a.counters[0] > b.counters[0] : a.counters[1] > b.counters[1];
  });
  for (SignedState& state : found) {
    if (!snapshot.signedStates.empty()) {
      const SignedState& later = snapshot.signedStates.back();
      if (state.counters[0] > later.counters[0] || state.counters[1] > later.counters[1]) continue;
    }
    snapshot.signedStates.push_back(std::move(state));
  }
  std::reverse(snapshot.signedStates.begin(), snapshot.signedStates.end());
}

const char* CheckSignedStoreName(std::string_view name) {
  const std::string folded = FoldLetterCase(name);
  for (const char* own : {trust::kManifestFileName, trust::kManifestSignatureFileName}) {
    if (folded == FoldLetterCase(own)) {
      return "the name of the signed manifest that players receive with every update; a signed store keeps "
             "it for that";
    }
  }
  return nullptr;
}

std::vector<std::string> CheckSignedState(const std::string& root, const std::uint32_t counters[2],
                                          const std::map<std::string, const StoredFile*>& files,
                                          std::vector<std::string>& written) {
  std::vector<std::string> faults;
  std::optional<trust::PublicKey> key;
  try {
    key = ReadSigningKey(root);
  } catch (const StoreError& e) {
    faults.push_back(e.what());
    return faults;
  }
  if (!key) return faults;

  // The gzip forms sessions send, of every stored manifest and signature.
  std::error_code error;
  std::vector<std::string> plain;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/" + kStateManifestFolder, error)) {
    std::uint32_t major = 0, minor = 0;
    const std::string name = entry.path().filename().string();
    if (ParseStateManifestName(name, major, minor)) {
      plain.push_back(StateManifestPath(major, minor));
      plain.push_back(StateManifestPath(major, minor) + ".minisig");
    }
  }
  std::sort(plain.begin(), plain.end());
  for (const std::string& path : plain) {
    try {
      const std::string data = store::ReadWholeFile(root + "/" + path);
      const std::string gzPath = root + "/" + path + ".gz";
      if (!RegularFileSize(gzPath)) {
        ReplaceDurably(gzPath + ".new", gzPath, StoredGzip(data));
        store::SyncDirectory(root + "/" + kStateManifestFolder);
        written.push_back(path + ".gz");
        continue;
      }
      const std::optional<std::string> decoded = DecodeSmallGzip(store::ReadWholeFile(gzPath), data.size());
      if (decoded != data) faults.push_back(path + ".gz: does not hold " + path);
    } catch (const StoreError& e) {
      faults.push_back(e.what());
    }
  }

  if (counters[0] == 0 && counters[1] == 0) return faults;
  std::string problem;
  const std::optional<trust::Manifest> manifest =
      ReadStateManifest(root, *key, counters[0], counters[1], &problem);
  if (!manifest) {
    faults.push_back(problem);
    return faults;
  }
  const std::string path = StateManifestPath(counters[0], counters[1]);
  for (const auto& [name, file] : files) {
    const trust::ManifestEntry* entry = manifest->Find(name);
    if (entry == nullptr) {
      faults.push_back(path + ": does not list " + name);
      continue;
    }
    if (file->path.empty()) continue;  // the newest copy is never pruned; its own check reports it
    std::string stream;
    try {
      stream = store::ReadWholeFile(root + "/" + file->path);
    } catch (const StoreError&) {
      continue;  // the release check reports a missing or unreadable stream
    }
    if (entry->streamSize != stream.size() || entry->streamHash != trust::HashBytes(stream) ||
        entry->size != file->originalBytes) {
      faults.push_back(path + ": lists another " + name + " than " + file->path + " holds");
    }
  }
  for (const trust::ManifestEntry& entry : manifest->files) {
    if (files.count(entry.name) == 0)
      faults.push_back(path + ": lists " + entry.name + ", not a file of the state");
  }
  return faults;
}

std::string StateManifestPath(std::uint32_t major, std::uint32_t minor) {
  return std::string(kStateManifestFolder) + "/" + std::to_string(major) + "-" + std::to_string(minor) +
         ".manifest";
}

std::optional<trust::PublicKey> ReadSigningKey(const std::string& root) {
  const std::string path = root + "/" + kSigningKeyFile;
  if (::access(path.c_str(), F_OK) != 0) {
    if (errno == ENOENT) return std::nullopt;
    store::ThrowSystem(path);
  }
  trust::PublicKey key;
  const trust::Verdict verdict = trust::ParsePublicKeyFile(ReadSmallFile(path, kMaxKeyFileSize), key);
  if (verdict != trust::Verdict::Accepted) {
    throw StoreError(path + ": not the store's public key (" + trust::VerdictText(verdict) + ")");
  }
  return key;
}

std::shared_ptr<const trust::SecretKey> LoadSecretKey(const std::string& path) {
  auto key = std::make_shared<trust::SecretKey>();
  const trust::Verdict verdict = trust::ParseSecretKeyFile(ReadSmallFile(path, kMaxKeyFileSize), *key);
  if (verdict != trust::Verdict::Accepted) {
    throw StoreError(path + ": not a usable secret key (" + trust::VerdictText(verdict) + ")");
  }
  return key;
}

void CheckSigning(const std::string& root, const SigningOptions& options) {
  const std::optional<trust::PublicKey> recorded = ReadSigningKey(root);
  if (!options.key) {
    if (recorded) {
      throw StoreError(root + ": the store is signed (key id " + trust::KeyIdText(recorded->id) +
                       "); publish with --sign SECRET_KEY");
    }
    return;
  }
  const trust::PublicKey given = options.key->Public();
  if (recorded && !SameKey(*recorded, given) && !options.newKey) {
    throw StoreError(root + ": the store is signed with key id " + trust::KeyIdText(recorded->id) +
                     ", not with key id " + trust::KeyIdText(given.id) +
                     " (--new-key signs with another key from now on)");
  }
}

StateSigner::StateSigner(std::string root, const SigningOptions& options)
    : root_(std::move(root)), options_(options) {}

StateSigner::~StateSigner() = default;

void StateSigner::Sign(const Snapshot& current, const Release& release) {
  std::uint32_t counters[kKinds] = {current.Counter(0), current.Counter(1)};
  counters[release.kind] = release.version;
  const trust::PublicKey publicKey = options_.key->Public();
  const std::optional<trust::PublicKey> recorded = ReadSigningKey(root_);

  // The previous state's verified manifest saves decoding the files this
  // release leaves as they were.
  std::optional<trust::Manifest> previous;
  if (recorded && (current.Counter(0) != 0 || current.Counter(1) != 0)) {
    previous = ReadStateManifest(root_, *recorded, current.Counter(0), current.Counter(1));
  }
  std::map<std::string, const StoredFile*> changed;
  for (const StoredFile& f : release.files) changed[f.name] = &f;

  trust::Manifest manifest;
  manifest.game = trust::kGameName;
  manifest.major = counters[0];
  manifest.minor = counters[1];
  for (const auto& [name, copy] : NewestCopies(current, &release)) {
    trust::ManifestEntry entry;
    const trust::ManifestEntry* known = previous && changed.count(name) == 0 ? previous->Find(name) : nullptr;
    if (known != nullptr && known->size == copy.file->originalBytes &&
        known->streamSize == copy.file->gzipBytes) {
      entry = *known;
    } else {
      HashStoredStream(root_ + "/" + copy.path, *copy.file, entry);
    }
    manifest.files.push_back(std::move(entry));
  }
  std::string text, signature;
  if (!trust::SignManifest(*options_.key, manifest, text, signature)) {
    throw StoreError(root_ + ": the manifest of major " + std::to_string(counters[0]) + " minor " +
                     std::to_string(counters[1]) + " cannot be written");
  }

  const std::string work = root_ + "/tmp/signing." + std::to_string(::getpid());
  store::CreateFolder(root_ + "/tmp");
  store::RemoveTree(work);
  store::CreateFolder(work);
  try {
    store::WriteDurably(work + "/manifest", text);
    store::WriteDurably(work + "/signature", signature);
    store::WriteDurably(work + "/manifest.gz", StoredGzip(text));
    store::WriteDurably(work + "/signature.gz", StoredGzip(signature));
    store::SyncDirectory(work);
    store::CreateFolder(root_ + "/" + kStateManifestFolder);
    manifestPath_ = root_ + "/" + StateManifestPath(counters[0], counters[1]);
    if (::rename((work + "/manifest").c_str(), manifestPath_.c_str()) != 0) store::ThrowSystem(manifestPath_);
    if (::rename((work + "/signature").c_str(), (manifestPath_ + ".minisig").c_str()) != 0) {
      store::ThrowSystem(manifestPath_ + ".minisig");
    }
    for (const auto& [from, to] :
         {std::pair{"/manifest.gz", ".gz"}, std::pair{"/signature.gz", ".minisig.gz"}}) {
      if (::rename((work + from).c_str(), (manifestPath_ + to).c_str()) != 0)
        store::ThrowSystem(manifestPath_ + to);
    }
    store::SyncDirectory(root_ + "/" + kStateManifestFolder);
    if (!recorded || !SameKey(*recorded, publicKey)) {
      const std::string keyPath = root_ + "/" + kSigningKeyFile;
      if (recorded) previousKeyFile_ = store::ReadWholeFile(keyPath);
      wroteKey_ = true;
      ReplaceDurably(work + "/key", keyPath, trust::FormatPublicKeyFile(publicKey));
      store::SyncDirectory(root_);
    }
  } catch (...) {
    store::RemoveTree(work);
    throw;
  }
  store::RemoveTree(work);
}

void StateSigner::Undo() {
  if (!manifestPath_.empty()) {
    ::unlink(manifestPath_.c_str());
    for (const char* suffix : {".minisig", ".gz", ".minisig.gz"}) ::unlink((manifestPath_ + suffix).c_str());
  }
  if (wroteKey_) {
    const std::string keyPath = root_ + "/" + kSigningKeyFile;
    try {
      if (previousKeyFile_) {
        ReplaceDurably(keyPath + ".old", keyPath, *previousKeyFile_);
      } else {
        ::unlink(keyPath.c_str());
      }
    } catch (const StoreError&) {
      // The failure that brought us here is what the operator sees.
    }
  }
}

SigningStatus CheckStoreSigning(const Snapshot& snapshot) {
  SigningStatus status;
  const std::optional<trust::PublicKey> key = ReadSigningKey(snapshot.root);
  if (!key) return status;
  status.isSigned = true;
  status.keyId = trust::KeyIdText(key->id);
  const std::optional<trust::Manifest> manifest =
      ReadStateManifest(snapshot.root, *key, snapshot.Counter(0), snapshot.Counter(1), &status.problem);
  if (!manifest) return status;
  // The signed list must be the state's files with their recorded sizes.
  const std::map<std::string, Copy> newest = NewestCopies(snapshot, nullptr);
  bool same = newest.size() == manifest->files.size();
  for (auto [copy, entry] = std::pair{newest.begin(), manifest->files.begin()}; same && copy != newest.end();
       ++copy, ++entry) {
    same = copy->first == entry->name && copy->second.file->originalBytes == entry->size &&
           copy->second.file->gzipBytes == entry->streamSize;
  }
  if (!same) {
    status.problem = StateManifestPath(snapshot.Counter(0), snapshot.Counter(1)) +
                     ": lists other files than the state in force holds";
  }
  return status;
}

trust::PublicKey WriteNewKeyPair(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) throw StoreError(dir + ": " + error.message());
  const std::string publicPath = dir + "/" + kPublicKeyFileName;
  const std::string secretPath = dir + "/" + kSecretKeyFileName;
  for (const std::string& path : {publicPath, secretPath}) {
    if (::access(path.c_str(), F_OK) == 0)
      throw StoreError(path + ": already there; a key is never replaced");
  }
  const trust::KeyPair pair = trust::GenerateKeyPair();
  WriteNewFile(secretPath, trust::FormatSecretKeyFile(pair.secretKey), 0600);
  try {
    WriteNewFile(publicPath, trust::FormatPublicKeyFile(pair.publicKey), 0644);
  } catch (...) {
    ::unlink(secretPath.c_str());
    throw;
  }
  store::SyncDirectory(dir);
  return pair.publicKey;
}

}  // namespace server
