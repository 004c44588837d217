// The server's event loop. One thread watches the listening socket, every
// session socket, an eventfd for Stop(), the store folder's change
// notifications and the store loader's eventfd with one level-triggered
// epoll set. New states of the store are read by the loader thread; the loop
// only swaps in the ready snapshot.
//
// A session is a record of about 170 bytes: where it stands in its answer (a
// segment index and two offsets), its timers, and shared pointers to the
// snapshot it started with and to its prepared plan. Plans are shared by
// every session that sent the same request against the same snapshot, and
// stored files are opened once per snapshot, so a session owns nothing but
// its socket and, while it sends a file that is not cached, that file.
//
// Every descriptor the loop keeps comes out of one budget: a session's
// socket, the stored file a session sends from when that file is not cached
// (a slot it holds from its request until its last file is sent), cached
// files and assembled answers. Cached files and assembled answers take only
// what is left beyond a margin, and new sessions are accepted only while a
// reserve of slots stays free, so a session that got its version reply never
// runs out of descriptors: at worst it waits for a slot (parked, with no
// timer running) while the sessions before it finish. The sessions the
// budget has no room for wait in the listen queue.
//
// Bytes never pass through this process's buffers: an answer of up to
// kAssembleBytes is assembled once per plan, by the kernel, into an
// in-memory file and every session sends it with sendfile, exactly as a
// plain file server would; a larger answer goes piece by piece, each header
// with send and each body with sendfile from its stored file, corked so
// that the pieces still leave in full packets. A session sends at most
// kTurnBytes per turn, so a fast reader cannot starve the rest.
//
// A session waits for its request in one list, ordered by when it was
// accepted: the request has a fixed deadline, which bytes trickling in do
// not move. Once its request is in, it sits in a second list ordered by its
// last progress: progress moves a session to the back. The loop drops from
// the fronts whatever is past its time, which makes every timer O(1)
// whatever the number of sessions. When the server is full and new
// connections wait, the session that has waited longest for its request
// makes room for them.

#include "server/update_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <poll.h>
#include <sys/eventfd.h>
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

#include "address_counts.h"
#include "descriptor_budget.h"
#include "store_watcher.h"

namespace server {

const char* EndingText(Ending ending) {
  switch (ending) {
    case Ending::Completed:
      return "completed";
    case Ending::NoRequest:
      return "closed by the updater without a request (up to date, redirected or gone)";
    case Ending::IdleTimeout:
      return "dropped: no request within the timeout";
    case Ending::Stalled:
      return "dropped: no progress within the timeout";
    case Ending::ClosedEarly:
      return "closed by the updater before the end";
    case Ending::BadRequest:
      return "dropped: not an update request";
    case Ending::ExtraData:
      return "dropped: unexpected bytes after the request";
    case Ending::NetworkError:
      return "network error";
    case Ending::StoreError:
      return "store error";
    case Ending::Stopped:
      return "server stopping";
    case Ending::Displaced:
      return "dropped: no request yet while new sessions waited";
    case Ending::AddressFull:
      return "refused: too many sessions from this address";
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
/// Descriptors kept free for the slots of sessions whose answers go piece by
/// piece: a session is accepted only when this many more are free.
constexpr std::size_t kSlotReserve = 16;
/// Cached files and assembled answers leave this many descriptors to sessions.
constexpr std::size_t kCacheMargin = 64;
/// Descriptors kept out of the budget for short-lived use: the loader
/// thread reading a new state, the log.
constexpr std::size_t kSpareDescriptors = 16;
/// Distinct requests whose plans are kept per snapshot.
constexpr std::size_t kCachedPlans = 1024;
/// The store is looked at this often even without a change notification
/// (file systems without inotify, a store that could not be loaded yet).
constexpr std::int64_t kStoreCheckMs = 1000;
/// Log lines reach the file within this time; writing them in batches keeps
/// the write calls far fewer than the sessions.
constexpr std::int64_t kLogFlushMs = 100;
/// Accepting pauses this long when accept fails (the system is out of
/// descriptors or memory).
constexpr std::int64_t kAcceptPauseMs = 100;
/// A full server makes room for waiting connections by dropping the session
/// that has waited longest for its request, once it has waited this long
/// (an updater sends its request as soon as the version reply arrives).
constexpr std::int64_t kDisplaceAfterMs = 2000;
/// New sessions wait at most this long for a state of the store that is
/// being loaded after a change notification; then they get the one served.
constexpr std::int64_t kStoreHoldMs = 1000;
/// Answers up to this size are assembled whole into an in-memory file once
/// per plan, so that a session sends them with one sendfile: for small
/// answers the cost of sending many pieces (a send and a sendfile per file)
/// outweighs the data itself. Larger answers go piece by piece from the
/// stored files, where that cost is lost in the volume.
constexpr std::uint64_t kAssembleBytes = 4u << 20;
/// Most memory and most descriptors held by assembled answers at once.
constexpr std::uint64_t kAssembleBudget = 128u << 20;
constexpr std::size_t kAssembledAnswers = 256;

/// A plan as sessions use it: its pieces and, for a small answer, the whole
/// answer assembled in one in-memory file.
/// What assembled answers hold at this moment, across snapshots.
struct AssembledTotal {
  std::uint64_t bytes = 0;
  std::size_t count = 0;
  DescriptorBudget* descriptors = nullptr;
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
    total->descriptors->Give(1);
  }
  std::uint32_t FilesBefore(std::uint64_t offset) const {
    return static_cast<std::uint32_t>(std::upper_bound(fileEnds.begin(), fileEnds.end(), offset) -
                                      fileEnds.begin());
  }
};

/// One snapshot and what its sessions share: plans by request, open files.
class Served {
 public:
  Served(std::shared_ptr<const Snapshot> snapshot, const PlanLimits& limits, AssembledTotal& assembled)
      : snapshot_(std::move(snapshot)), limits_(limits), assembled_(assembled) {}
  ~Served() {
    for (const auto& [path, fd] : files_) ::close(fd);
    assembled_.descriptors->Give(files_.size());
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
          assembled_.descriptors->Take(1, kCacheMargin)) {
        if (Assemble(*prepared)) {
          prepared->total = &assembled_;
          assembled_.bytes += size;
          ++assembled_.count;
        } else {
          assembled_.descriptors->Give(1);
        }
      }
      at = plans_.emplace(key, std::move(prepared)).first;
    }
    return at->second;
  }

  /// A descriptor for the stored file at PATH; OWN tells whether the caller
  /// must close it. The caller has room for one descriptor of its own; the
  /// cache takes one from the budget. The file is found by its path, so that
  /// a store folder replaced by a copy is read from the copy.
  int Open(const std::string& path, bool& own) {
    own = false;
    if (const auto at = files_.find(path); at != files_.end()) return at->second;
    const int fd = ::open((snapshot_->root + "/" + path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fd;
    if (files_.size() < kCachedFiles && assembled_.descriptors->Take(1, kCacheMargin)) {
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
  bool readClosed = false;      // the updater shut its sending side after the request
  bool parked = false;          // waits for a slot for the stored file it sends from
  bool fileSlot = false;        // holds a descriptor for the stored file it sends from
  bool addressCounted = false;  // counted in the sessions of its address
  std::uint8_t got = 0;
  std::uint8_t request[session::kUpdateRequestSize] = {};
  std::uint16_t peerPort = 0;
  session::Ipv4Address peerAddress = 0;
  int fileFd = -1;
  std::uint32_t segment = 0, byteOffset = 0, filesSent = 0;
  std::uint64_t fileOffset = 0, bytesSent = 0;
  std::int64_t started = 0, lastProgress = 0;
  Session* prev = nullptr;  // in the waiting or the progress list, oldest first
  Session* next = nullptr;
  std::shared_ptr<Served> served;
  std::shared_ptr<const Prepared> prepared;
};

/// Sessions in the order of one of their times, oldest first.
struct SessionList {
  Session* oldest = nullptr;
  Session* newest = nullptr;

  void Append(Session* s) {
    s->prev = newest;
    s->next = nullptr;
    (newest != nullptr ? newest->next : oldest) = s;
    newest = s;
  }
  void Remove(Session* s) {
    (s->prev != nullptr ? s->prev->next : oldest) = s->next;
    (s->next != nullptr ? s->next->prev : newest) = s->prev;
    s->prev = s->next = nullptr;
  }
};

// Distinct addresses mark the loop's own descriptors in epoll's data field.
char listenTag, stopTag, notifyTag, loadedTag;

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
  /// Swaps in what the loader found.
  void TakeStore();
  bool Full() const;
  /// Lets parked sessions go on while the budget has slots for them.
  void Unpark();
  /// The session to drop for a waiting connection, or nullptr.
  Session* Displaceable() const;
  void AcceptAll();
  /// Watches the listening socket exactly when a connection could be taken.
  void UpdateAccepting();
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
  void Watch(Session* s);
  void Cork(Session* s, bool on);
  void Touch(Session* s);
  void End(Session* s, Ending ending, const std::string& detail = {});
  void ReleaseFile(Session* s);
  void ExpireStill();
  int NextWakeMs() const;
  /// Writes out buffered log lines, at most every kLogFlushMs unless NOW.
  void FlushLog(bool now);

  ServerOptions options_;
  int epollFd_ = -1, listenFd_ = -1, stopFd_ = -1;
  std::uint16_t port_ = 0;
  // Before served_ and the sessions: outlive every answer and cached file.
  DescriptorBudget descriptors_{0};
  AssembledTotal assembled_;
  std::unique_ptr<StoreWatcher> watcher_;
  std::shared_ptr<Served> served_;
  std::int64_t nextStoreCheck_ = 0;
  std::int64_t holdUntil_ = 0;  // new sessions wait for a state being loaded until then
  std::int64_t now_ = 0;
  SessionList waiting_;   // no request yet, by the time they were accepted
  SessionList progress_;  // request in, by their last progress
  SessionList parked_;    // request in, waiting for a slot, in order
  AddressCounts perAddress_;
  std::size_t maxSessions_ = 0;
  std::size_t redirectTurn_ = 0;
  bool accepting_ = true;
  std::int64_t pausedUntil_ = 0;  // accept failed: new sessions wait until then
  int acceptError_ = 0;           // the failure of accept said last, 0 when accepting works
  std::time_t stampSecond_ = -1;
  bool logPending_ = false;
  std::int64_t lastFlush_ = 0;
  char stamp_[32] = {};
  std::atomic<std::size_t> open_{0};
  std::array<std::atomic<std::uint64_t>, kEndings> counts_{};
};

UpdateServer::Loop::Loop(ServerOptions options)
    : options_(std::move(options)), perAddress_(options_.maxPerAddress) {
  now_ = NowMs();
  watcher_ = std::make_unique<StoreWatcher>(options_.store);
  assembled_.descriptors = &descriptors_;
  served_ = std::make_shared<Served>(watcher_->first(), options_.limits, assembled_);

  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epollFd_ < 0 || stopFd_ < 0) throw ServerError(std::string("epoll: ") + std::strerror(errno));

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
  watch(watcher_->readyFd(), &loadedTag);
  if (watcher_->changeFd() >= 0) watch(watcher_->changeFd(), &notifyTag);

  // Everything the loop holds from here on comes out of the budget.
  descriptors_.Give(DescriptorBudget::Available(kSpareDescriptors));
  maxSessions_ = options_.maxSessions == 0 ? SIZE_MAX : options_.maxSessions;
}

UpdateServer::Loop::~Loop() {
  for (SessionList* list : {&waiting_, &progress_, &parked_}) {
    while (list->oldest != nullptr) End(list->oldest, Ending::Stopped);
  }
  served_.reset();
  for (int fd : {listenFd_, stopFd_, epollFd_}) {
    if (fd >= 0) ::close(fd);
  }
  watcher_.reset();
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

void UpdateServer::Loop::TakeStore() {
  StoreWatcher::Outcome found = watcher_->Take();
  if (found.snapshot) {
    served_ = std::make_shared<Served>(std::move(found.snapshot), options_.limits, assembled_);
    const Snapshot& now = served_->snapshot();
    Log("store changed: now major %u, minor %u, notice %d", now.Counter(0), now.Counter(1), now.notice.stamp);
  }
  if (!found.error.empty()) {
    const Snapshot& old = served_->snapshot();
    Log("store changed but cannot be loaded (still serving major %u, minor %u): %s", old.Counter(0),
        old.Counter(1), found.error.c_str());
  }
}

int UpdateServer::Loop::NextWakeMs() const {
  const std::int64_t timeout = options_.timeout.count();
  std::int64_t wake = nextStoreCheck_;
  if (waiting_.oldest != nullptr) wake = std::min(wake, waiting_.oldest->started + timeout);
  if (progress_.oldest != nullptr) wake = std::min(wake, progress_.oldest->lastProgress + timeout);
  if (pausedUntil_ != 0) wake = std::min(wake, pausedUntil_);
  if (holdUntil_ != 0) wake = std::min(wake, holdUntil_);
  // When the oldest waiting session could make room, the listening socket is watched again.
  if (Full() && waiting_.oldest != nullptr && waiting_.oldest->started + kDisplaceAfterMs > now_) {
    wake = std::min(wake, waiting_.oldest->started + kDisplaceAfterMs);
  }
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
    bool stop = false, changed = false, loaded = false, incoming = false;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &stopTag) {
        stop = true;
      } else if (tag == &notifyTag) {
        watcher_->DrainChanges();
        changed = true;
      } else if (tag == &loadedTag) {
        loaded = true;
      } else if (tag == &listenTag) {
        incoming = true;
      }
    }
    if (stop) break;
    if (loaded) TakeStore();
    if (changed || now_ >= nextStoreCheck_) {
      watcher_->Look();
      nextStoreCheck_ = now_ + kStoreCheckMs;
      // A changed state is in place before new sessions start, unless
      // loading it takes long.
      if (changed) holdUntil_ = now_ + kStoreHoldMs;
    }
    if (holdUntil_ != 0 && (now_ >= holdUntil_ || !watcher_->Looking())) holdUntil_ = 0;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag != &stopTag && tag != &notifyTag && tag != &listenTag && tag != &loadedTag) {
        Handle(static_cast<Session*>(tag), events[i].events);
      }
    }
    Unpark();
    if (incoming) AcceptAll();
    ExpireStill();
    if (pausedUntil_ != 0 && now_ >= pausedUntil_) pausedUntil_ = 0;
    UpdateAccepting();
  }
  const std::size_t open = open_;
  for (SessionList* list : {&waiting_, &progress_, &parked_}) {
    while (list->oldest != nullptr) End(list->oldest, Ending::Stopped);
  }
  std::uint64_t total = 0;
  for (const auto& c : counts_) total += c.load();
  Log("stopped: %llu session(s) served, %zu ended by the stop", static_cast<unsigned long long>(total), open);
  if (options_.log != nullptr) std::fflush(options_.log);
}

bool UpdateServer::Loop::Full() const {
  return open_ >= maxSessions_ || descriptors_.free() < 1 + kSlotReserve || parked_.oldest != nullptr;
}

void UpdateServer::Loop::Unpark() {
  while (parked_.oldest != nullptr && descriptors_.Take(1)) {
    Session* s = parked_.oldest;
    parked_.Remove(s);
    progress_.Append(s);
    s->parked = false;
    s->fileSlot = true;
    s->lastProgress = now_;
    Cork(s, true);
    Pump(s);
  }
}

Session* UpdateServer::Loop::Displaceable() const {
  Session* s = waiting_.oldest;
  if (s == nullptr || now_ - s->started < kDisplaceAfterMs) return nullptr;
  // Only when its end makes room: it holds one descriptor and no slot.
  const bool room =
      open_ - 1 < maxSessions_ && descriptors_.free() + 1 >= 1 + kSlotReserve && parked_.oldest == nullptr;
  return room ? s : nullptr;
}

void UpdateServer::Loop::UpdateAccepting() {
  const bool want = pausedUntil_ == 0 && holdUntil_ == 0 && (!Full() || Displaceable() != nullptr);
  if (want == accepting_) return;
  epoll_event ev{};
  ev.events = want ? std::uint32_t{EPOLLIN} : 0u;
  ev.data.ptr = &listenTag;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
  accepting_ = want;
}

void UpdateServer::Loop::AcceptAll() {
  for (int i = 0; i < kAcceptsPerTurn && pausedUntil_ == 0 && holdUntil_ == 0; ++i) {
    if (Full()) {
      // Room for a connection that is already waiting, never on speculation.
      Session* idle = Displaceable();
      pollfd waiting{listenFd_, POLLIN, 0};
      if (idle == nullptr || ::poll(&waiting, 1, 0) != 1) return;
      End(idle, Ending::Displaced);
      if (Full()) return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd =
        ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (acceptError_ != 0) {
        Log("accepting sessions again");
        acceptError_ = 0;
      }
      descriptors_.Take(1);
      StartSession(fd, peer);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN) return;
    // Said once per change: while it lasts, accept is tried again every
    // kAcceptPauseMs without a line each time.
    if (errno != acceptError_) {
      acceptError_ = errno;
      Log("cannot accept a session (%s); new sessions wait until it can", std::strerror(errno));
    }
    pausedUntil_ = now_ + kAcceptPauseMs;
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
  waiting_.Append(s);
  ++open_;
  if (!perAddress_.Add(s->peerAddress)) {
    End(s, Ending::AddressFull);
    return;
  }
  s->addressCounted = true;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = s;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    End(s, Ending::NetworkError, std::string("cannot watch the session: ") + std::strerror(errno));
    return;
  }

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
  if (!s->readClosed && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 && !OnReadable(s)) {
    return;
  }
  // With the reading side closed, a connection that is gone shows as an
  // error or hang-up, which the next send reports.
  if ((events & (EPOLLOUT | (s->readClosed ? EPOLLHUP | EPOLLERR : 0u))) != 0 &&
      s->phase == Session::Sending && !s->parked) {
    Pump(s);
  }
}

bool UpdateServer::Loop::OnReadable(Session* s) {
  if (s->phase == Session::WaitRequest) {
    const ssize_t n = ::recv(s->fd, s->request + s->got, sizeof s->request - s->got, 0);
    if (n > 0) {
      // Bytes of the request do not move its deadline; the whole request does.
      s->got = static_cast<std::uint8_t>(s->got + n);
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
  } else if (n == 0) {
    // Only its sending side is shut: the answer goes on until sending fails.
    s->readClosed = true;
    Watch(s);
    return true;
  } else {
    End(s, Ending::ClosedEarly, std::strerror(errno));
  }
  return false;
}

bool UpdateServer::Loop::StartSending(Session* s) {
  const session::UpdateRequest request = session::DecodeUpdateRequest(s->request);
  if (request.code != session::RequestFilesOnly && request.code != session::RequestNoticeAndFiles) {
    End(s, Ending::BadRequest);
    return false;
  }
  waiting_.Remove(s);
  progress_.Append(s);
  s->phase = Session::Sending;
  s->lastProgress = now_;
  s->prepared = s->served->PlanFor(request);
  if (s->prepared->whole < 0) {
    // Sent in pieces: a slot for the stored files not cached, and headers
    // and bodies corked so that they leave in full packets; the end of the
    // answer uncorks the rest.
    if (parked_.oldest != nullptr || !descriptors_.Take(1)) {
      progress_.Remove(s);
      parked_.Append(s);
      s->parked = true;
      return true;
    }
    s->fileSlot = true;
    Cork(s, true);
  }
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
  } else {
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
    Cork(s, false);
    s->fileSlot = false;
    descriptors_.Give(1);
  }
  s->phase = Session::Done;
  if (s->readClosed) {
    // Everything is sent and the updater has nothing more to say.
    End(s, Ending::Completed);
    return false;
  }
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
  s->writeWatched = want;
  Watch(s);
}

void UpdateServer::Loop::Watch(Session* s) {
  epoll_event ev{};
  ev.events = (s->readClosed ? 0u : std::uint32_t{EPOLLIN | EPOLLRDHUP}) |
              (s->writeWatched ? std::uint32_t{EPOLLOUT} : 0u);
  ev.data.ptr = s;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, s->fd, &ev);
}

void UpdateServer::Loop::Cork(Session* s, bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(s->fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

void UpdateServer::Loop::Touch(Session* s) {
  s->lastProgress = now_;
  if (s == progress_.newest) return;
  progress_.Remove(s);
  progress_.Append(s);
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
  (s->phase == Session::WaitRequest ? waiting_ : s->parked ? parked_ : progress_).Remove(s);
  if (s->addressCounted) perAddress_.Remove(s->peerAddress);
  descriptors_.Give(s->fileSlot ? 2 : 1);
  delete s;  // may end a snapshot, which gives back its cached files
  --open_;
  ++counts_[static_cast<int>(ending)];
}

void UpdateServer::Loop::ExpireStill() {
  const std::int64_t timeout = options_.timeout.count();
  while (waiting_.oldest != nullptr && now_ - waiting_.oldest->started >= timeout) {
    End(waiting_.oldest, Ending::IdleTimeout);
  }
  while (progress_.oldest != nullptr && now_ - progress_.oldest->lastProgress >= timeout) {
    Session* s = progress_.oldest;
    End(s, s->phase == Session::Sending ? Ending::Stalled : Ending::Completed);
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
