// The server's event loop. One thread watches the listening socket, every
// session socket, an eventfd for Stop() and an inotify watch on the store
// folder with one level-triggered epoll set.
//
// A session is a record of about 170 bytes: where it stands in its answer (a
// segment index and two offsets), its timers, and shared pointers to the
// snapshot it started with and to its prepared plan. Plans are shared by
// every session that sent the same request against the same snapshot, and
// stored files are opened once per snapshot, so a session owns nothing but
// its socket.
//
// Bytes never pass through this process's buffers: an answer of up to
// kAssembleBytes is assembled once per plan, by the kernel, into an
// in-memory file and every session sends it with sendfile, exactly as a
// plain file server would; a larger answer goes piece by piece, each header
// with send and each body with sendfile from its stored file, corked so
// that the pieces still leave in full packets. A session sends at most
// kTurnBytes per turn, so a fast reader cannot starve the rest.
//
// Sessions sit in one list ordered by their last progress: progress moves a
// session to the back, and the loop drops from the front whatever has been
// still longer than the timeout. That makes every timer O(1) whatever the
// number of sessions.

#include "server/update_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace server {

const char* EndingText(Ending ending) {
  switch (ending) {
    case Ending::Completed: return "completed";
    case Ending::NoRequest: return "closed by the updater without a request (up to date, redirected or gone)";
    case Ending::IdleTimeout: return "dropped: no request within the timeout";
    case Ending::Stalled: return "dropped: no progress within the timeout";
    case Ending::ClosedEarly: return "closed by the updater before the end";
    case Ending::BadRequest: return "dropped: not an update request";
    case Ending::ExtraData: return "dropped: unexpected bytes after the request";
    case Ending::NetworkError: return "network error";
    case Ending::StoreError: return "store error";
    case Ending::Stopped: return "server stopping";
  }
  return "?";
}

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

/// Most body bytes one session sends per turn of the loop.
constexpr std::size_t kTurnBytes = 1u << 20;
constexpr int kAcceptsPerTurn = 64;
constexpr int kEventsPerWait = 256;
/// Stored files kept open per snapshot; sessions open their own beyond that.
constexpr std::size_t kCachedFiles = 256;
/// Distinct requests whose plans are kept per snapshot.
constexpr std::size_t kCachedPlans = 1024;
/// The store is looked at this often even without a change notification
/// (file systems without inotify, a store that could not be loaded yet).
constexpr std::int64_t kStoreCheckMs = 1000;
/// Log lines reach the file within this time; writing them in batches keeps
/// the write calls far fewer than the sessions.
constexpr std::int64_t kLogFlushMs = 100;
/// Accepting pauses this long when the process runs out of descriptors.
constexpr std::int64_t kAcceptPauseMs = 100;
/// Answers up to this size are assembled whole into an in-memory file once
/// per plan, so that a session sends them with one sendfile: for small
/// answers the cost of sending many pieces (a send and a sendfile per file)
/// outweighs the data itself. Larger answers go piece by piece from the
/// stored files, where that cost is lost in the volume.
constexpr std::uint64_t kAssembleBytes = 4u << 20;
/// Most memory and most descriptors held by assembled answers at once.
constexpr std::uint64_t kAssembleBudget = 128u << 20;
constexpr std::size_t kAssembledAnswers = 256;
/// Descriptors kept back from sessions: open stored files, assembled
/// answers, the store, the log.
constexpr std::size_t kReservedDescriptors = kCachedFiles + kAssembledAnswers + 64;

/// A plan as sessions use it: its pieces and, for a small answer, the whole
/// answer assembled in one in-memory file.
/// What assembled answers hold at this moment, across snapshots.
struct AssembledTotal {
  std::uint64_t bytes = 0;
  std::size_t count = 0;
};

struct Prepared {
  SessionPlan plan;
  int whole = -1;                       ///< every byte after the request, or -1: send the pieces
  std::vector<std::uint64_t> fileEnds;  ///< where each body ends in WHOLE
  AssembledTotal* total = nullptr;      ///< counts WHOLE while it lives
  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  ~Prepared() {
    if (whole < 0) return;
    ::close(whole);
    total->bytes -= plan.wireBytes;
    --total->count;
  }
  std::uint32_t FilesBefore(std::uint64_t offset) const {
    return static_cast<std::uint32_t>(std::upper_bound(fileEnds.begin(), fileEnds.end(), offset) -
                                      fileEnds.begin());
  }
};

/// One snapshot and what its sessions share: plans by request, open files.
class Served {
 public:
  Served(std::shared_ptr<const Snapshot> snapshot, int rootFd, const PlanLimits& limits,
         AssembledTotal& assembled)
      : snapshot_(std::move(snapshot)), rootFd_(rootFd), limits_(limits), assembled_(assembled) {}
  ~Served() {
    for (const auto& [path, fd] : files_) ::close(fd);
  }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

  const Snapshot& snapshot() const { return *snapshot_; }

  const std::shared_ptr<const Prepared>& PlanFor(const session::UpdateRequest& request) {
    const Key key{(std::uint64_t{request.major} << 32) | request.minor,
                  request.code == session::RequestNoticeAndFiles};
    auto at = plans_.find(key);
    if (at == plans_.end()) {
      // Sessions keep what they use; what is dropped here is freed as they end.
      if (plans_.size() >= kCachedPlans) plans_.clear();
      auto prepared = std::make_shared<Prepared>();
      prepared->plan = PlanSession(
          snapshot_, request, limits_,
          [this](int kind, std::uint32_t installed, std::uint32_t maxFiles, std::uint64_t maxBytes) {
            return KindPlanFor(kind, installed, maxFiles, maxBytes);
          });
      const std::uint64_t size = prepared->plan.wireBytes;
      if (prepared->plan.SegmentCount() > 1 && size <= kAssembleBytes &&
          assembled_.bytes + size <= kAssembleBudget && assembled_.count < kAssembledAnswers &&
          Assemble(*prepared)) {
        prepared->total = &assembled_;
        assembled_.bytes += size;
        ++assembled_.count;
      }
      at = plans_.emplace(key, std::move(prepared)).first;
    }
    return at->second;
  }

  /// A descriptor for the stored file at PATH; OWN tells whether the caller must close it.
  int Open(const std::string& path, bool& own) {
    own = false;
    if (const auto at = files_.find(path); at != files_.end()) return at->second;
    const int fd = ::openat(rootFd_, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fd;
    if (files_.size() < kCachedFiles) {
      files_.emplace(path, fd);
    } else {
      own = true;
    }
    return fd;
  }

 private:
  /// Writes every piece of P's plan into one in-memory file, the bodies
  /// copied by the kernel (sendfile between files). False leaves P to be
  /// sent piece by piece.
  bool Assemble(Prepared& p) {
    const int fd = ::memfd_create("update-answer", MFD_CLOEXEC);
    if (fd < 0) return false;
    std::uint64_t offset = 0;
    bool ok = true;
    for (std::size_t i = 0; i < p.plan.SegmentCount(); ++i) {
      const Segment& segment = p.plan.SegmentAt(i);
      ok = ok && ::write(fd, segment.bytes.data(), segment.bytes.size()) ==
                     static_cast<ssize_t>(segment.bytes.size());
      offset += segment.bytes.size();
      if (ok && !segment.path.empty()) {
        bool own = false;
        const int in = Open(segment.path, own);
        off_t from = 0;
        while (in >= 0 && static_cast<std::uint64_t>(from) < segment.fileBytes) {
          const ssize_t n = ::sendfile(fd, in, &from, segment.fileBytes - from);
          if (n <= 0) break;
        }
        if (own) ::close(in);
        ok = in >= 0 && static_cast<std::uint64_t>(from) == segment.fileBytes;
        offset += segment.fileBytes;
      }
      if (segment.body) p.fileEnds.push_back(offset);
    }
    if (!ok || offset != p.plan.wireBytes) {
      ::close(fd);
      p.fileEnds.clear();
      return false;
    }
    p.whole = fd;
    return true;
  }

  /// The kind plan for a player at INSTALLED. Plans within the full limits
  /// are shared: while any session holds one, every session asking for it
  /// gets that one, so their number is bounded by the store's versions, not
  /// by the sessions. The most recent ones are kept for sessions to come.
  std::shared_ptr<const KindPlan> KindPlanFor(int kind, std::uint32_t installed, std::uint32_t maxFiles,
                                              std::uint64_t maxBytes) {
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
    if (full->files.size() <= maxFiles && full->bytes <= maxBytes) return full;
    // Cut shorter for this session's total: made for it alone (rare).
    return PlanKind(*snapshot_, kind, installed, maxFiles, maxBytes);
  }

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
  int rootFd_;
  PlanLimits limits_;
  std::unordered_map<Key, std::shared_ptr<const Prepared>, KeyHash> plans_;
  std::unordered_map<std::string, int> files_;
  std::array<std::unordered_map<std::uint32_t, std::weak_ptr<const KindPlan>>, kKinds> kindPlans_;
  std::array<std::shared_ptr<const KindPlan>, 64> recentKindPlans_;
  std::size_t recentTurn_ = 0, kindPlansMade_ = 0;
  AssembledTotal& assembled_;
};

struct Session {
  enum Phase : std::uint8_t { WaitRequest, Sending, Done };

  int fd = -1;
  Phase phase = WaitRequest;
  bool writeWatched = false;
  bool ownFile = false;
  std::uint8_t got = 0;
  std::uint8_t request[session::kUpdateRequestSize] = {};
  std::uint16_t peerPort = 0;
  session::Ipv4Address peerAddress = 0;
  int fileFd = -1;
  std::uint32_t segment = 0, byteOffset = 0, filesSent = 0;
  std::uint64_t fileOffset = 0, bytesSent = 0;
  std::int64_t started = 0, lastProgress = 0;
  Session* prev = nullptr;  // the progress list, oldest first
  Session* next = nullptr;
  std::shared_ptr<Served> served;
  std::shared_ptr<const Prepared> prepared;
};

/// Identity of the store's CURRENT file: a publish replaces it by rename.
struct StateIdentity {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t modified = 0;
  off_t size = 0;
  bool operator==(const StateIdentity&) const = default;
};

// Distinct addresses mark the loop's own descriptors in epoll's data field.
char listenTag, stopTag, notifyTag;

}  // namespace

class UpdateServer::Loop {
 public:
  explicit Loop(ServerOptions options);
  ~Loop();

  std::uint16_t port() const { return port_; }
  void Run();
  void Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
  }
  std::uint64_t Count(Ending e) const { return counts_[static_cast<int>(e)].load(); }
  std::size_t OpenSessions() const { return open_.load(); }

 private:
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  StateIdentity ReadIdentity() const;
  void CheckStore();
  void AcceptAll();
  void StartSession(int fd, const sockaddr_in& peer);
  void Handle(Session* s, std::uint32_t events);
  bool OnReadable(Session* s);
  bool StartSending(Session* s);
  bool Pump(Session* s);
  enum class Sent { All, Blocked, Failed };
  /// Sends bytes S->fileOffset..SIZE of FD, at most BUDGET of them.
  Sent SendFile(Session* s, int fd, std::uint64_t size, std::size_t& budget, const std::string& what);
  bool Failed(Session* s, const char* what);
  void WatchWrite(Session* s, bool want);
  void Cork(Session* s, bool on);
  void Touch(Session* s);
  void End(Session* s, Ending ending, const std::string& detail = {});
  void ReleaseFile(Session* s);
  void ExpireStill();
  void PauseAccepting(std::int64_t until);
  void ResumeAccepting();
  int NextWakeMs() const;
  /// Writes out buffered log lines, at most every kLogFlushMs unless NOW.
  void FlushLog(bool now);

  ServerOptions options_;
  int rootFd_ = -1, epollFd_ = -1, listenFd_ = -1, stopFd_ = -1, notifyFd_ = -1;
  std::uint16_t port_ = 0;
  AssembledTotal assembled_;  // before served_: outlives every answer
  std::shared_ptr<Served> served_;
  StateIdentity identity_, failedIdentity_;
  std::int64_t retryAt_ = 0, nextStoreCheck_ = 0;
  std::int64_t now_ = 0;
  Session* oldest_ = nullptr;
  Session* newest_ = nullptr;
  std::size_t maxSessions_ = 0;
  std::size_t redirectTurn_ = 0;
  bool accepting_ = true;
  std::int64_t pausedUntil_ = 0;  // 0: paused until a session ends
  std::time_t stampSecond_ = -1;
  bool logPending_ = false;
  std::int64_t lastFlush_ = 0;
  char stamp_[32] = {};
  std::atomic<std::size_t> open_{0};
  std::array<std::atomic<std::uint64_t>, kEndings> counts_{};
};

UpdateServer::Loop::Loop(ServerOptions options) : options_(std::move(options)) {
  now_ = NowMs();
  rootFd_ = ::open(options_.store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd_ < 0) throw ServerError(options_.store + ": " + std::strerror(errno));
  identity_ = ReadIdentity();
  served_ = std::make_shared<Served>(LoadSnapshot(options_.store), rootFd_, options_.limits, assembled_);

  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epollFd_ < 0 || stopFd_ < 0) throw ServerError(std::string("epoll: ") + std::strerror(errno));
  // Change notifications are a convenience: without them the store is
  // still looked at every kStoreCheckMs.
  notifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notifyFd_ >= 0 &&
      ::inotify_add_watch(notifyFd_, options_.store.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    ::close(notifyFd_);
    notifyFd_ = -1;
  }

  const std::string where = session::Ipv4ToText(options_.listenAddress) + ":" + std::to_string(options_.port);
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(options_.port);
  at.sin_addr.s_addr = options_.listenAddress;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(listenFd_, 65535) != 0) {
    throw ServerError("cannot listen on " + where + ": " + std::strerror(errno));
  }
  socklen_t length = sizeof at;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&at), &length);
  port_ = ntohs(at.sin_port);

  auto watch = [&](int fd, void* tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      throw ServerError(std::string("epoll: ") + std::strerror(errno));
    }
  };
  watch(listenFd_, &listenTag);
  watch(stopFd_, &stopTag);
  if (notifyFd_ >= 0) watch(notifyFd_, &notifyTag);

  maxSessions_ = options_.maxSessions;
  if (maxSessions_ == 0) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    maxSessions_ = limit.rlim_cur > kReservedDescriptors + 16 ? limit.rlim_cur - kReservedDescriptors : 16;
  }
}

UpdateServer::Loop::~Loop() {
  while (oldest_ != nullptr) End(oldest_, Ending::Stopped);
  served_.reset();
  for (int fd : {listenFd_, stopFd_, notifyFd_, epollFd_, rootFd_}) {
    if (fd >= 0) ::close(fd);
  }
  if (options_.log != nullptr) std::fflush(options_.log);
}

void UpdateServer::Loop::Log(const char* format, ...) {
  if (options_.log == nullptr) return;
  // One line per session: formatted in one go behind a time stamp that is
  // remade once a second.
  const std::time_t t = std::time(nullptr);
  if (t != stampSecond_) {
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::strftime(stamp_, sizeof stamp_, "%Y-%m-%dT%H:%M:%SZ ", &utc);
    stampSecond_ = t;
  }
  char line[1024];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  const std::size_t length = std::min<std::size_t>(n < 0 ? 0 : n, sizeof line - 2);
  line[length] = '\n';
  std::fputs(stamp_, options_.log);
  std::fwrite(line, 1, length + 1, options_.log);
  logPending_ = true;
}

StateIdentity UpdateServer::Loop::ReadIdentity() const {
  struct stat st {};
  if (::fstatat(rootFd_, "CURRENT", &st, 0) != 0) return {};
  return {true, st.st_dev, st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_size};
}

void UpdateServer::Loop::CheckStore() {
  nextStoreCheck_ = now_ + kStoreCheckMs;
  const StateIdentity id = ReadIdentity();
  if (id == identity_) return;
  if (id == failedIdentity_ && now_ < retryAt_) return;
  const Snapshot& old = served_->snapshot();
  try {
    auto snapshot = LoadSnapshot(options_.store, &old);
    served_ = std::make_shared<Served>(std::move(snapshot), rootFd_, options_.limits, assembled_);
    identity_ = id;
    const Snapshot& now = served_->snapshot();
    Log("store changed: now major %u, minor %u, notice %d", now.Counter(0), now.Counter(1), now.notice.stamp);
  } catch (const std::exception& e) {
    failedIdentity_ = id;
    retryAt_ = now_ + kStoreCheckMs;
    Log("store changed but cannot be loaded (still serving major %u, minor %u): %s", old.Counter(0),
        old.Counter(1), e.what());
  }
}

int UpdateServer::Loop::NextWakeMs() const {
  std::int64_t wake = nextStoreCheck_;
  if (oldest_ != nullptr) wake = std::min(wake, oldest_->lastProgress + options_.timeout.count());
  if (!accepting_ && pausedUntil_ != 0) wake = std::min(wake, pausedUntil_);
  if (logPending_) wake = std::min(wake, lastFlush_ + kLogFlushMs);
  return static_cast<int>(std::clamp<std::int64_t>(wake - NowMs(), 0, kStoreCheckMs));
}

void UpdateServer::Loop::FlushLog(bool now) {
  if (options_.log == nullptr || !logPending_ || (!now && now_ - lastFlush_ < kLogFlushMs)) return;
  std::fflush(options_.log);
  logPending_ = false;
  lastFlush_ = now_;
}

void UpdateServer::Loop::Run() {
  // sendfile raises SIGPIPE on a closed connection; MSG_NOSIGNAL covers send only.
  ::signal(SIGPIPE, SIG_IGN);
  const Snapshot& first = served_->snapshot();
  Log("serving %s on %s:%u: major %u, minor %u, notice %d", options_.store.c_str(),
      session::Ipv4ToText(options_.listenAddress).c_str(), port_, first.Counter(0), first.Counter(1),
      first.notice.stamp);
  nextStoreCheck_ = NowMs() + kStoreCheckMs;
  epoll_event events[kEventsPerWait];
  for (;;) {
    FlushLog(false);
    const int n = ::epoll_wait(epollFd_, events, kEventsPerWait, NextWakeMs());
    if (n < 0 && errno != EINTR) throw ServerError(std::string("epoll: ") + std::strerror(errno));
    now_ = NowMs();
    bool stop = false, changed = false, incoming = false;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &stopTag) {
        stop = true;
      } else if (tag == &notifyTag) {
        char buffer[4096];
        while (::read(notifyFd_, buffer, sizeof buffer) > 0) {
        }
        changed = true;
      } else if (tag == &listenTag) {
        incoming = true;
      }
    }
    if (stop) break;
    // A new state is in place before the sessions accepted in this turn start.
    if (changed || now_ >= nextStoreCheck_) CheckStore();
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag != &stopTag && tag != &notifyTag && tag != &listenTag) {
        Handle(static_cast<Session*>(tag), events[i].events);
      }
    }
    if (incoming) AcceptAll();
    ExpireStill();
    if (!accepting_ && open_ < maxSessions_ && (pausedUntil_ == 0 || now_ >= pausedUntil_)) {
      ResumeAccepting();
    }
  }
  const std::size_t open = open_;
  while (oldest_ != nullptr) End(oldest_, Ending::Stopped);
  std::uint64_t total = 0;
  for (const auto& c : counts_) total += c.load();
  Log("stopped: %llu session(s) served, %zu ended by the stop", static_cast<unsigned long long>(total), open);
  if (options_.log != nullptr) std::fflush(options_.log);
}

void UpdateServer::Loop::PauseAccepting(std::int64_t until) {
  pausedUntil_ = until;
  if (!accepting_) return;
  epoll_event ev{};
  ev.data.ptr = &listenTag;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
  accepting_ = false;
}

void UpdateServer::Loop::ResumeAccepting() {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &listenTag;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
  accepting_ = true;
}

void UpdateServer::Loop::AcceptAll() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    if (open_ >= maxSessions_) {
      PauseAccepting(0);  // the backlog holds the rest until a session ends
      return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd =
        ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      StartSession(fd, peer);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN) return;
    Log("cannot accept a session (%s); new sessions wait %lld ms", std::strerror(errno),
        static_cast<long long>(kAcceptPauseMs));
    PauseAccepting(now_ + kAcceptPauseMs);
    return;
  }
}

void UpdateServer::Loop::StartSession(int fd, const sockaddr_in& peer) {
  auto* s = new Session;
  s->fd = fd;
  s->peerAddress = peer.sin_addr.s_addr;
  s->peerPort = ntohs(peer.sin_port);
  s->started = s->lastProgress = now_;
  s->served = served_;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = s;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    Log("cannot watch a session: %s", std::strerror(errno));
    ::close(fd);
    delete s;
    return;
  }
  s->prev = newest_;
  (newest_ != nullptr ? newest_->next : oldest_) = s;
  newest_ = s;
  ++open_;

  const session::Ipv4Address redirect =
      options_.redirects.empty() ? 0 : options_.redirects[redirectTurn_++ % options_.redirects.size()];
  const auto reply = session::EncodeVersionReply(MakeVersionReply(s->served->snapshot(), redirect));
  // A new connection's send buffer always has room for 17 bytes.
  const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(reply.size())) {
    End(s, Ending::NetworkError,
        std::string("version reply not sent: ") + (n < 0 ? std::strerror(errno) : "short send"));
    return;
  }
  s->bytesSent = reply.size();
}

void UpdateServer::Loop::Handle(Session* s, std::uint32_t events) {
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 && !OnReadable(s)) return;
  if ((events & EPOLLOUT) != 0 && s->phase == Session::Sending) Pump(s);
}

bool UpdateServer::Loop::OnReadable(Session* s) {
  if (s->phase == Session::WaitRequest) {
    const ssize_t n = ::recv(s->fd, s->request + s->got, sizeof s->request - s->got, 0);
    if (n > 0) {
      s->got = static_cast<std::uint8_t>(s->got + n);
      Touch(s);
      return s->got < sizeof s->request || StartSending(s);
    }
    if (n == 0) {
      End(s, Ending::NoRequest);
      return false;
    }
    if (errno == EAGAIN || errno == EINTR) return true;
    End(s, Ending::NetworkError, std::strerror(errno));
    return false;
  }
  // The updater sends nothing after its request; only its close is expected.
  char sink[16];
  const ssize_t n = ::recv(s->fd, sink, sizeof sink, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n > 0) {
    End(s, Ending::ExtraData);
  } else if (s->phase == Session::Done) {
    End(s, Ending::Completed);
  } else {
    End(s, Ending::ClosedEarly, n < 0 ? std::strerror(errno) : "");
  }
  return false;
}

bool UpdateServer::Loop::StartSending(Session* s) {
  const session::UpdateRequest request = session::DecodeUpdateRequest(s->request);
  if (request.code != session::RequestFilesOnly && request.code != session::RequestNoticeAndFiles) {
    End(s, Ending::BadRequest);
    return false;
  }
  s->prepared = s->served->PlanFor(request);
  s->phase = Session::Sending;
  // Sent in pieces, headers and bodies are corked so that they leave in full
  // packets; the end of the answer uncorks the rest.
  if (s->prepared->whole < 0) Cork(s, true);
  return Pump(s);
}

UpdateServer::Loop::Sent UpdateServer::Loop::SendFile(Session* s, int fd, std::uint64_t size,
                                                      std::size_t& budget, const std::string& what) {
  while (s->fileOffset < size) {
    if (budget == 0) return Sent::Blocked;
    off_t offset = static_cast<off_t>(s->fileOffset);
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - s->fileOffset, budget));
    const ssize_t n = ::sendfile(s->fd, fd, &offset, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return Sent::Blocked;
      Failed(s, "sendfile");
      return Sent::Failed;
    }
    if (n == 0) {
      End(s, Ending::StoreError, what + ": shorter than the manifest says");
      return Sent::Failed;
    }
    s->fileOffset += static_cast<std::uint64_t>(n);
    s->bytesSent += static_cast<std::uint64_t>(n);
    budget -= static_cast<std::size_t>(n);
    Touch(s);
  }
  return Sent::All;
}

bool UpdateServer::Loop::Pump(Session* s) {
  const Prepared& prepared = *s->prepared;
  const SessionPlan& plan = prepared.plan;
  std::size_t budget = kTurnBytes;
  if (prepared.whole >= 0) {
    switch (SendFile(s, prepared.whole, plan.wireBytes, budget, "the assembled answer")) {
      case Sent::Failed:
        return false;
      case Sent::Blocked:
        WatchWrite(s, true);
        return true;
      case Sent::All:
        break;
    }
    s->filesSent = static_cast<std::uint32_t>(plan.FileCount());
    s->phase = Session::Done;
    WatchWrite(s, false);
    return true;
  }
  const std::size_t segments = plan.SegmentCount();
  while (s->segment < segments) {
    const Segment& segment = plan.SegmentAt(s->segment);
    if (s->byteOffset < segment.bytes.size()) {
      const ssize_t n = ::send(s->fd, segment.bytes.data() + s->byteOffset,
                               segment.bytes.size() - s->byteOffset, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return Failed(s, "send");
      }
      s->byteOffset += static_cast<std::uint32_t>(n);
      s->bytesSent += static_cast<std::uint64_t>(n);
      Touch(s);
      continue;
    }
    if (s->fileOffset < segment.fileBytes) {
      if (s->fileFd < 0) {
        s->fileFd = s->served->Open(segment.path, s->ownFile);
        if (s->fileFd < 0) {
          End(s, Ending::StoreError, segment.path + ": " + std::strerror(errno));
          return false;
        }
      }
      const Sent sent = SendFile(s, s->fileFd, segment.fileBytes, budget, segment.path);
      if (sent == Sent::Failed) return false;
      if (sent == Sent::Blocked) break;
    }
    ReleaseFile(s);
    if (segment.body) ++s->filesSent;
    ++s->segment;
    s->byteOffset = 0;
    s->fileOffset = 0;
  }
  if (s->segment < segments) {
    WatchWrite(s, true);  // level-triggered: a full socket or a spent turn both come back
    return true;
  }
  s->phase = Session::Done;
  Cork(s, false);
  WatchWrite(s, false);
  return true;
}

bool UpdateServer::Loop::Failed(Session* s, const char* what) {
  const int error = errno;
  const bool peerGone = error == EPIPE || error == ECONNRESET;
  End(s, peerGone ? Ending::ClosedEarly : Ending::NetworkError,
      std::string(what) + ": " + std::strerror(error));
  return false;
}

void UpdateServer::Loop::WatchWrite(Session* s, bool want) {
  if (s->writeWatched == want) return;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | (want ? std::uint32_t{EPOLLOUT} : 0u);
  ev.data.ptr = s;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, s->fd, &ev);
  s->writeWatched = want;
}

void UpdateServer::Loop::Cork(Session* s, bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(s->fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

void UpdateServer::Loop::Touch(Session* s) {
  s->lastProgress = now_;
  if (s == newest_) return;
  // Unlink, then append.
  (s->prev != nullptr ? s->prev->next : oldest_) = s->next;
  s->next->prev = s->prev;
  s->prev = newest_;
  s->next = nullptr;
  newest_->next = s;
  newest_ = s;
}

void UpdateServer::Loop::ReleaseFile(Session* s) {
  if (s->ownFile && s->fileFd >= 0) ::close(s->fileFd);
  s->fileFd = -1;
  s->ownFile = false;
}

void UpdateServer::Loop::End(Session* s, Ending ending, const std::string& detail) {
  if (options_.log != nullptr) {
    const session::Ipv4Address a = s->peerAddress;
    char peer[16];
    std::snprintf(peer, sizeof peer, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
    const long long ms = NowMs() - s->started;
    const char* separator = detail.empty() ? "" : ": ";
    if (s->got == sizeof s->request) {
      const session::UpdateRequest r = session::DecodeUpdateRequest(s->request);
      const Prepared* p = s->prepared.get();
      const std::size_t files = p != nullptr ? p->plan.FileCount() : 0;
      const std::uint32_t sent = p != nullptr && p->whole >= 0 ? p->FilesBefore(s->fileOffset) : s->filesSent;
      Log("%s:%u installed %u %u, %u/%zu files, %llu bytes, %lld.%03lld s: %s%s%s", peer, s->peerPort,
          r.major, r.minor, sent, files, static_cast<unsigned long long>(s->bytesSent), ms / 1000, ms % 1000,
          EndingText(ending), separator, detail.c_str());
    } else {
      Log("%s:%u no request, %llu bytes, %lld.%03lld s: %s%s%s", peer, s->peerPort,
          static_cast<unsigned long long>(s->bytesSent), ms / 1000, ms % 1000, EndingText(ending), separator,
          detail.c_str());
    }
  }
  ReleaseFile(s);
  ::close(s->fd);  // also leaves the epoll set
  (s->prev != nullptr ? s->prev->next : oldest_) = s->next;
  (s->next != nullptr ? s->next->prev : newest_) = s->prev;
  delete s;
  --open_;
  ++counts_[static_cast<int>(ending)];
}

void UpdateServer::Loop::ExpireStill() {
  const std::int64_t timeout = options_.timeout.count();
  while (oldest_ != nullptr && now_ - oldest_->lastProgress >= timeout) {
    Session* s = oldest_;
    End(s, s->phase == Session::WaitRequest ? Ending::IdleTimeout
           : s->phase == Session::Sending   ? Ending::Stalled
                                            : Ending::Completed);
  }
}

UpdateServer::UpdateServer(ServerOptions options) : loop_(std::make_unique<Loop>(std::move(options))) {}
UpdateServer::~UpdateServer() = default;
std::uint16_t UpdateServer::port() const { return loop_->port(); }
void UpdateServer::Run() { loop_->Run(); }
void UpdateServer::Stop() { loop_->Stop(); }
std::uint64_t UpdateServer::Count(Ending ending) const { return loop_->Count(ending); }
std::size_t UpdateServer::OpenSessions() const { return loop_->OpenSessions(); }

}  // namespace server
