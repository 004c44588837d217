// The server's event loop. One thread watches the listening socket, every
// session socket, an eventfd for Stop(), the store folder's change
// notifications and the store loader's eventfd with one level-triggered
// epoll set. New states of the store are read by the loader thread; the loop
// only swaps in the ready snapshot (store_watcher). Sessions share plans,
// open files and assembled answers per snapshot (answer_cache), and each is a
// small record (session_record) whose end is one line of the batched log
// (session_log).
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
// Bytes never pass through this process's buffers: an assembled answer goes
// with sendfile from its in-memory file; a larger answer goes piece by piece,
// each header with send and each body with sendfile from its stored file,
// corked so that the pieces still leave in full packets. A session sends at
// most kTurnBytes per turn, so a fast reader cannot starve the rest.
//
// A session waits for its request in one list, ordered by when it was
// accepted: the request has a fixed deadline, which bytes trickling in do
// not move. Once its request is in, it sits in a second list ordered by its
// last progress: progress moves a session to the back. The loop drops from
// the fronts whatever is past its time, which makes every timer O(1)
// whatever the number of sessions. When the server is full and new
// connections wait, the session that has waited longest for its request
// makes room for them.
//
// With a rate per session, each session has a token bucket; with a rate for
// the whole server, the server has one. Buckets fill from the clock read once
// per turn and hold a quarter second's worth at most. A session out of its
// own tokens leaves the write watch for a timer map, keyed by when it has
// enough again; with a server rate, a session ready to send joins a queue and
// sends one quantum per turn at the server's tokens, round robin. Neither
// waits count as a stall: a held session is in neither timed list and starts
// its progress timer afresh when it may send again.
//
// A front with back servers checks them on this loop too (back_servers): one
// non-blocking connection per back at a time, each with a deadline, and names
// a back in the version reply only while its last check answered with the
// state this loop serves. A scraper's `GET /metrics` is answered here as well
// (metrics), from counters the loop keeps as sessions send and end.

#include "server/update_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "address_counts.h"
#include "answer_cache.h"
#include "back_servers.h"
#include "descriptor_budget.h"
#include "fd.h"
#include "metrics.h"
#include "session_log.h"
#include "session_record.h"
#include "store_watcher.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::int64_t NowMs() { return NowNs() / 1000000; }

/// The first whole millisecond at or after NS.
std::int64_t CeilMs(std::int64_t ns) { return (ns + 999999) / 1000000; }

/// Most body bytes one session sends per turn of the loop.
constexpr std::size_t kTurnBytes = 1u << 20;
/// Most bytes one session sends per turn at the server's tokens.
constexpr std::size_t kQuantumBytes = 64u << 10;
constexpr int kAcceptsPerTurn = 64;
constexpr int kEventsPerWait = 256;
/// Connections waiting to be accepted; the kernel caps it at its own limit.
constexpr int kListenQueue = 65535;
/// Descriptors kept free for the slots of sessions whose answers go piece by
/// piece: a session is accepted only when this many more are free.
constexpr std::size_t kSlotReserve = 16;
/// Descriptors kept out of the budget for short-lived use: the loader
/// thread reading a new state, the log.
constexpr std::size_t kSpareDescriptors = 16;
/// Accepting pauses this long when accept fails (the system is out of
/// descriptors or memory).
constexpr std::int64_t kAcceptPauseMs = 100;
/// A full server makes room for waiting connections by dropping the session
/// that has waited longest for its request, once it has waited this long
/// (an updater sends its request as soon as the version reply arrives).
constexpr std::int64_t kDisplaceAfterMs = 2000;

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
    [[maybe_unused]] const ssize_t n = ::write(stop_.get(), &one, sizeof one);
  }
  std::uint64_t Count(Ending e) const { return counts_[static_cast<int>(e)].load(); }
  std::size_t OpenSessions() const { return open_.load(); }
  std::uint16_t metricsPort() const { return metrics_ ? metrics_->port() : 0; }

 private:
  /// Binds and listens as the options say; throws ServerError.
  void Listen();
  /// Adds FD to the epoll set or changes what is watched (OP), tagged TAG;
  /// false (errno set) when epoll refuses.
  bool Control(int op, int fd, std::uint32_t events, void* tag);
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
  void StartSession(Fd socket, const sockaddr_in& peer);
  // Each of these returns false when it ended the session.
  void Handle(Session* s, std::uint32_t events);
  bool OnReadable(Session* s);
  bool StartSending(Session* s);
  /// Sends now, or with a server rate joins the queue for the server's tokens.
  bool Go(Session* s);
  /// Sends what the session's turn (at most CAP bytes) and the tokens allow;
  /// watches for room, waits for tokens or queues when more is left.
  bool Pump(Session* s, std::size_t cap = kTurnBytes);
  /// Out of its own tokens: waits in the timer map until it has enough.
  bool Delay(Session* s);
  /// Joins the back of the queue for the server's tokens.
  bool Queue(Session* s);
  /// Takes a held session out of its wait, its progress timer started afresh.
  void Release(Session* s);
  /// Lets go the delayed sessions whose time has come.
  void WakeDelayed();
  /// Gives the queued sessions their turns while the server has tokens.
  void ServeQueue();
  /// Spent: the turn or the tokens ran out with more to send.
  enum class Sent { All, Blocked, Spent, Failed };
  /// The assembled answer from S->fileOffset on, at most BUDGET bytes.
  Sent SendWhole(Session* s, std::size_t& budget);
  /// The pieces from S->segment on, at most BUDGET bytes of bodies; uncorks after the last.
  Sent SendPieces(Session* s, std::size_t& budget);
  /// Sends bytes S->fileOffset..SIZE of FD, at most BUDGET of them.
  Sent SendFile(Session* s, int fd, std::uint64_t size, std::size_t& budget, const std::string& what);
  /// Everything is sent: the session waits for the updater to close.
  bool Finish(Session* s);
  /// Ends S for the failure in errno of WHAT; false.
  bool Failed(Session* s, const char* what);
  bool WatchWrite(Session* s, bool want);
  bool Watch(Session* s);
  bool Cork(Session* s, bool on);
  void Touch(Session* s);
  SessionList& ListOf(Session* s);
  void End(Session* s, Ending ending, const std::string& detail = {});
  void EndAll();
  void ReleaseFile(Session* s);
  void ExpireStill();
  int NextWakeMs() const;
  /// What a scrape shows now.
  std::string MetricsNow() const;

  ServerOptions options_;
  SessionLog log_;
  Fd epoll_, listen_, stop_;
  std::uint16_t port_ = 0;
  // Before served_ and the sessions: outlive every answer and cached file.
  DescriptorBudget descriptors_{0};
  AssembledTotal assembled_;
  std::unique_ptr<StoreWatcher> watcher_;
  std::shared_ptr<AnswerCache> served_;
  std::int64_t now_ = 0;    // the loop's clock, milliseconds
  std::int64_t nowNs_ = 0;  // the same instant, nanoseconds
  SessionList waiting_;     // no request yet, by the time they were accepted
  SessionList progress_;    // request in, by their last progress
  SessionList parked_;      // request in, waiting for a slot, in order
  SessionList queued_;      // waiting for a turn at the server's tokens, in order
  DelayedSessions delayed_;
  ByteRate sessionRate_;  // with a rate per session
  ByteRate serverRate_;   // with a rate for the whole server
  TokenBucket uplink_;    // the whole server's, with a server rate
  std::size_t quantum_ = kQuantumBytes;
  AddressCounts perAddress_;
  std::size_t maxSessions_ = 0;
  bool accepting_ = true;
  std::int64_t pausedUntil_ = 0;  // accept failed: new sessions wait until then
  int acceptError_ = 0;           // the failure of accept said last, 0 when accepting works
  std::atomic<std::size_t> open_{0};
  std::array<std::atomic<std::uint64_t>, kEndings> counts_{};
  std::uint64_t bytesSent_ = 0;
  DurationHistogram durations_;
  std::unique_ptr<BackServers> backs_;      // with redirects
  std::unique_ptr<MetricsServer> metrics_;  // with metrics
};

UpdateServer::Loop::Loop(ServerOptions options)
    : options_(std::move(options)), log_(options_.log), perAddress_(options_.maxPerAddress) {
  nowNs_ = NowNs();
  now_ = nowNs_ / 1000000;
  sessionRate_ = ByteRate::Of(options_.rate);
  serverRate_ = ByteRate::Of(options_.maxRate);
  uplink_ = TokenBucket::Empty(nowNs_);
  // Several turns fit in the bucket, so a turn never waits for a full one.
  quantum_ = static_cast<std::size_t>(std::clamp<double>(serverRate_.burst / 4, 1, kQuantumBytes));
  watcher_ = std::make_unique<StoreWatcher>(options_.store);
  assembled_.descriptors = &descriptors_;
  served_ = std::make_shared<AnswerCache>(watcher_->first(), options_.limits, assembled_);

  epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
  stop_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_.valid() || !stop_.valid()) throw ServerError(std::string("epoll: ") + std::strerror(errno));
  Listen();
  auto watch = [&](int fd, void* tag) {
    if (!Control(EPOLL_CTL_ADD, fd, EPOLLIN, tag))
      throw ServerError(std::string("epoll: ") + std::strerror(errno));
  };
  watch(listen_.get(), &listenTag);
  watch(stop_.get(), &stopTag);
  watch(watcher_->readyFd(), &loadedTag);
  if (watcher_->changeFd() >= 0) watch(watcher_->changeFd(), &notifyTag);
  if (!options_.redirects.empty()) {
    backs_ = std::make_unique<BackServers>(options_.redirects, options_.backPort,
                                           options_.checkInterval.count(), epoll_.get(), log_);
  }
  if (options_.metrics) {
    metrics_ = std::make_unique<MetricsServer>(options_.metricsAddress, options_.metricsPort, epoll_.get());
  }

  // Everything the loop holds from here on comes out of the budget, but for
  // one check per back server and the scrapers.
  descriptors_.Give(DescriptorBudget::Available(kSpareDescriptors + options_.redirects.size() +
                                                (metrics_ ? MetricsServer::kScrapers : 0)));
  maxSessions_ = options_.maxSessions == 0 ? SIZE_MAX : options_.maxSessions;
}

UpdateServer::Loop::~Loop() {
  EndAll();
  served_.reset();
}

void UpdateServer::Loop::Listen() {
  listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(options_.port);
  at.sin_addr.s_addr = options_.listenAddress;
  socklen_t length = sizeof at;
  if (!listen_.valid() || ::setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(listen_.get(), kListenQueue) != 0 ||
      ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    const std::string where =
        session::Ipv4ToText(options_.listenAddress) + ":" + std::to_string(options_.port);
    throw ServerError("cannot listen on " + where + ": " + std::strerror(errno));
  }
  port_ = ntohs(at.sin_port);
}

bool UpdateServer::Loop::Control(int op, int fd, std::uint32_t events, void* tag) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = tag;
  return ::epoll_ctl(epoll_.get(), op, fd, &ev) == 0;
}

void UpdateServer::Loop::TakeStore() {
  StoreWatcher::Outcome found = watcher_->Take();
  if (found.snapshot) {
    served_ = std::make_shared<AnswerCache>(std::move(found.snapshot), options_.limits, assembled_);
    const Snapshot& now = served_->snapshot();
    log_.Line("store changed: now major %u, minor %u, notice %d", now.Counter(0), now.Counter(1),
              now.notice.stamp);
    if (backs_) backs_->FrontChanged(now, now_);
  }
  if (!found.error.empty()) {
    const Snapshot& old = served_->snapshot();
    log_.Line("store changed but cannot be loaded (still serving major %u, minor %u): %s", old.Counter(0),
              old.Counter(1), found.error.c_str());
  }
}

int UpdateServer::Loop::NextWakeMs() const {
  const std::int64_t timeout = options_.timeout.count();
  std::int64_t wake = std::min(watcher_->DueAt(), log_.DueAt());
  if (waiting_.oldest != nullptr) wake = std::min(wake, waiting_.oldest->started + timeout);
  if (progress_.oldest != nullptr) wake = std::min(wake, progress_.oldest->lastProgress + timeout);
  if (pausedUntil_ != 0) wake = std::min(wake, pausedUntil_);
  if (backs_) wake = std::min(wake, backs_->DueAt());
  if (metrics_) wake = std::min(wake, metrics_->DueAt());
  if (!delayed_.empty()) wake = std::min(wake, CeilMs(delayed_.begin()->first));
  if (queued_.oldest != nullptr)
    wake = std::min(wake, CeilMs(uplink_.WhenHolds(serverRate_, quantum_, nowNs_)));
  // When the oldest waiting session could make room, the listening socket is watched again.
  if (Full() && waiting_.oldest != nullptr && waiting_.oldest->started + kDisplaceAfterMs > now_) {
    wake = std::min(wake, waiting_.oldest->started + kDisplaceAfterMs);
  }
  return static_cast<int>(std::clamp<std::int64_t>(wake - NowMs(), 0, StoreWatcher::kLookMs));
}

void UpdateServer::Loop::Run() {
  // sendfile raises SIGPIPE on a closed connection; MSG_NOSIGNAL covers send only.
  ::signal(SIGPIPE, SIG_IGN);
  const Snapshot& first = served_->snapshot();
  log_.Line("serving %s on %s:%u: major %u, minor %u, notice %d", options_.store.c_str(),
            session::Ipv4ToText(options_.listenAddress).c_str(), port_, first.Counter(0), first.Counter(1),
            first.notice.stamp);
  if (metrics_) {
    log_.Line("metrics on http://%s:%u/metrics", session::Ipv4ToText(options_.metricsAddress).c_str(),
              metrics_->port());
  }
  watcher_->StartLooking(NowMs());
  epoll_event events[kEventsPerWait];
  for (;;) {
    log_.FlushDue(now_);
    const int n = ::epoll_wait(epoll_.get(), events, kEventsPerWait, NextWakeMs());
    if (n < 0 && errno != EINTR) throw ServerError(std::string("epoll: ") + std::strerror(errno));
    nowNs_ = NowNs();
    now_ = nowNs_ / 1000000;
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
    watcher_->Turn(now_, changed);
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &stopTag || tag == &notifyTag || tag == &listenTag || tag == &loadedTag) continue;
      if (backs_ && backs_->Owns(tag)) {
        backs_->OnEvent(tag, served_->snapshot(), now_);
      } else if (metrics_ && metrics_->Owns(tag)) {
        metrics_->OnEvent(tag, events[i].events, now_, [this] { return MetricsNow(); });
      } else {
        Handle(static_cast<Session*>(tag), events[i].events);
      }
    }
    if (backs_) backs_->Turn(served_->snapshot(), now_);
    if (metrics_) metrics_->Expire(now_);
    Unpark();
    WakeDelayed();
    ServeQueue();
    if (incoming) AcceptAll();
    ExpireStill();
    if (pausedUntil_ != 0 && now_ >= pausedUntil_) pausedUntil_ = 0;
    UpdateAccepting();
  }
  const std::size_t open = open_;
  EndAll();
  std::uint64_t total = 0;
  for (const auto& c : counts_) total += c.load();
  log_.Line("stopped: %llu session(s) served, %zu ended by the stop", static_cast<unsigned long long>(total),
            open);
  log_.Flush();
}

bool UpdateServer::Loop::Full() const {
  return open_ >= maxSessions_ || descriptors_.free() < 1 + kSlotReserve || parked_.oldest != nullptr;
}

void UpdateServer::Loop::Unpark() {
  while (parked_.oldest != nullptr && descriptors_.Take(1)) {
    Session* s = parked_.oldest;
    progress_.TakeFrom(parked_, s);
    s->parked = false;
    s->fileSlot = true;
    s->lastProgress = now_;
    if (Cork(s, true)) Go(s);
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
  const bool want = pausedUntil_ == 0 && !watcher_->Holding() && (!Full() || Displaceable() != nullptr);
  if (want == accepting_) return;
  if (!Control(EPOLL_CTL_MOD, listen_.get(), want ? std::uint32_t{EPOLLIN} : 0u, &listenTag)) {
    throw ServerError(std::string("epoll: cannot watch the listening socket: ") + std::strerror(errno));
  }
  accepting_ = want;
}

void UpdateServer::Loop::AcceptAll() {
  for (int i = 0; i < kAcceptsPerTurn && pausedUntil_ == 0 && !watcher_->Holding(); ++i) {
    if (Full()) {
      // Room for a connection that is already waiting, never on speculation.
      Session* idle = Displaceable();
      pollfd waiting{listen_.get(), POLLIN, 0};
      if (idle == nullptr || ::poll(&waiting, 1, 0) != 1) return;
      End(idle, Ending::Displaced);
      if (Full()) return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Fd socket(
        ::accept4(listen_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (socket.valid()) {
      if (acceptError_ != 0) {
        log_.Line("accepting sessions again");
        acceptError_ = 0;
      }
      descriptors_.Take(1);
      StartSession(std::move(socket), peer);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN) return;
    // Said once per change: while it lasts, accept is tried again every
    // kAcceptPauseMs without a line each time.
    if (errno != acceptError_) {
      acceptError_ = errno;
      log_.Line("cannot accept a session (%s); new sessions wait until it can", std::strerror(errno));
    }
    pausedUntil_ = now_ + kAcceptPauseMs;
    return;
  }
}

void UpdateServer::Loop::StartSession(Fd socket, const sockaddr_in& peer) {
  auto* s = new Session;
  s->socket = std::move(socket);
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
  const int one = 1;
  if (::setsockopt(s->socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    Failed(s, "TCP_NODELAY");
    return;
  }
  if (!Control(EPOLL_CTL_ADD, s->socket.get(), EPOLLIN | EPOLLRDHUP, s)) {
    End(s, Ending::NetworkError, std::string("cannot watch the session: ") + std::strerror(errno));
    return;
  }

  // This server's own check of a back that is this server itself is told
  // no redirect, and that back is never handed out.
  const session::Ipv4Address redirect =
      !backs_ || backs_->IsOwnCheck(s->peerAddress, s->peerPort) ? 0 : backs_->Choose();
  const auto reply = session::EncodeVersionReply(MakeVersionReply(s->served->snapshot(), redirect));
  // A new connection's send buffer always has room for 17 bytes.
  const ssize_t n = ::send(s->socket.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(reply.size())) {
    End(s, Ending::NetworkError,
        std::string("version reply not sent: ") + (n < 0 ? std::strerror(errno) : "short send"));
    return;
  }
  s->bytesSent = reply.size();
  bytesSent_ += reply.size();
  // The reply counts against the rates too.
  if (options_.rate != 0) {
    s->bucket = TokenBucket::Empty(nowNs_);
    s->bucket.Take(reply.size());
  }
  if (options_.maxRate != 0) {
    uplink_.Refill(serverRate_, nowNs_);
    uplink_.Take(reply.size());
  }
}

void UpdateServer::Loop::Handle(Session* s, std::uint32_t events) {
  if (!s->readClosed && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 && !OnReadable(s)) {
    return;
  }
  // With the reading side closed, a connection that is gone shows as an
  // error or hang-up, which the next send reports.
  if ((events & (EPOLLOUT | (s->readClosed ? EPOLLHUP | EPOLLERR : 0u))) == 0 ||
      s->phase != Session::Sending || s->parked) {
    return;
  }
  if (s->hold == Session::Free) {
    Go(s);
    return;
  }
  // A held session watches no room: only a connection that is gone shows.
  if ((events & (EPOLLHUP | EPOLLERR)) == 0) return;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s->socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) error = EPIPE;
  errno = error;
  Failed(s, "send");
}

bool UpdateServer::Loop::OnReadable(Session* s) {
  if (s->phase == Session::WaitRequest) {
    const ssize_t n = ::recv(s->socket.get(), s->request + s->got, sizeof s->request - s->got, 0);
    if (n > 0) {
      // Bytes of the request do not move its deadline; the whole request does.
      s->got = static_cast<std::uint8_t>(s->got + n);
      return !s->HasRequest() || StartSending(s);
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
  const ssize_t n = ::recv(s->socket.get(), sink, sizeof sink, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n > 0) {
    End(s, Ending::ExtraData);
  } else if (s->phase == Session::Done) {
    End(s, Ending::Completed);
  } else if (n == 0) {
    // Only its sending side is shut: the answer goes on until sending fails.
    s->readClosed = true;
    return Watch(s);
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
  progress_.TakeFrom(waiting_, s);
  s->phase = Session::Sending;
  s->lastProgress = now_;
  s->prepared = s->served->PlanFor(request);
  if (!s->prepared->whole.valid()) {
    // Sent in pieces: a slot for the stored files not cached, and headers
    // and bodies corked so that they leave in full packets; the end of the
    // answer uncorks the rest.
    if (parked_.oldest != nullptr || !descriptors_.Take(1)) {
      parked_.TakeFrom(progress_, s);
      s->parked = true;
      return true;
    }
    s->fileSlot = true;
    if (!Cork(s, true)) return false;
  }
  return Go(s);
}

bool UpdateServer::Loop::Go(Session* s) { return options_.maxRate != 0 ? Queue(s) : Pump(s); }

bool UpdateServer::Loop::Pump(Session* s, std::size_t cap) {
  std::size_t budget = cap;
  if (options_.rate != 0) {
    s->bucket.Refill(sessionRate_, nowNs_);
    budget = static_cast<std::size_t>(std::min<std::uint64_t>(budget, s->bucket.Whole()));
    if (budget == 0) return Delay(s);
  }
  if (options_.maxRate != 0) {
    uplink_.Refill(serverRate_, nowNs_);
    budget = static_cast<std::size_t>(std::min<std::uint64_t>(budget, uplink_.Whole()));
    if (budget == 0) return Queue(s);
  }
  const std::size_t offered = budget;
  const Sent sent = s->prepared->whole.valid() ? SendWhole(s, budget) : SendPieces(s, budget);
  const std::size_t spent = offered - budget;
  if (options_.maxRate != 0) uplink_.Take(spent);
  if (sent == Sent::Failed) return false;
  if (options_.rate != 0) s->bucket.Take(spent);
  switch (sent) {
    case Sent::All:
      return Finish(s);
    case Sent::Spent:
      if (options_.rate != 0 && s->bucket.Whole() == 0) return Delay(s);
      // Its turn is over: with a server rate the others go first.
      if (options_.maxRate != 0) return Queue(s);
      // Level-triggered: a spent turn comes back.
      return WatchWrite(s, true);
    default:
      // A full socket: the stall timer runs while it stays full.
      return WatchWrite(s, true);
  }
}

bool UpdateServer::Loop::Delay(Session* s) {
  // Waits for half a bucket, or what is left when that is less, so the
  // tokens that come in while it waits to be woken still fit.
  const std::uint64_t left = s->prepared->plan.wireBytes + session::kVersionReplySize - s->bytesSent;
  const double enough = std::max(1.0, std::min(sessionRate_.burst / 2, static_cast<double>(left)));
  progress_.Remove(s);
  s->hold = Session::Delayed;
  s->due = delayed_.emplace(s->bucket.WhenHolds(sessionRate_, enough, nowNs_), s);
  return WatchWrite(s, false);
}

bool UpdateServer::Loop::Queue(Session* s) {
  queued_.TakeFrom(progress_, s);
  s->hold = Session::Queued;
  return WatchWrite(s, false);
}

void UpdateServer::Loop::Release(Session* s) {
  if (s->hold == Session::Delayed) {
    delayed_.erase(s->due);
  } else {
    queued_.Remove(s);
  }
  s->hold = Session::Free;
  s->lastProgress = now_;
  progress_.Append(s);
}

void UpdateServer::Loop::WakeDelayed() {
  // A session delayed again is due at the earliest on the next turn.
  while (!delayed_.empty() && delayed_.begin()->first <= nowNs_) {
    Session* s = delayed_.begin()->second;
    Release(s);
    Go(s);
  }
}

void UpdateServer::Loop::ServeQueue() {
  if (options_.maxRate == 0) return;
  uplink_.Refill(serverRate_, nowNs_);
  // Each turn spends tokens or takes the session out of the queue.
  while (queued_.oldest != nullptr && uplink_.tokens >= static_cast<double>(quantum_)) {
    Session* s = queued_.oldest;
    Release(s);
    Pump(s, quantum_);
  }
}

UpdateServer::Loop::Sent UpdateServer::Loop::SendWhole(Session* s, std::size_t& budget) {
  const Prepared& prepared = *s->prepared;
  const Sent sent =
      SendFile(s, prepared.whole.get(), prepared.plan.wireBytes, budget, "the assembled answer");
  if (sent == Sent::All) s->filesSent = static_cast<std::uint32_t>(prepared.plan.FileCount());
  return sent;
}

UpdateServer::Loop::Sent UpdateServer::Loop::SendPieces(Session* s, std::size_t& budget) {
  const SessionPlan& plan = s->prepared->plan;
  while (s->segment < plan.SegmentCount()) {
    const Segment& segment = plan.SegmentAt(s->segment);
    if (s->byteOffset < segment.bytes.size()) {
      if (budget == 0) return Sent::Spent;
      const ssize_t n =
          ::send(s->socket.get(), segment.bytes.data() + s->byteOffset,
                 std::min<std::size_t>(segment.bytes.size() - s->byteOffset, budget), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return Sent::Blocked;
        Failed(s, "send");
        return Sent::Failed;
      }
      s->byteOffset += static_cast<std::uint32_t>(n);
      s->bytesSent += static_cast<std::uint64_t>(n);
      bytesSent_ += static_cast<std::uint64_t>(n);
      budget -= static_cast<std::size_t>(n);
      Touch(s);
      continue;
    }
    if (s->fileOffset < segment.fileBytes) {
      if (s->file < 0) {
        s->file = s->served->Open(segment.path, s->ownFile);
        if (s->file < 0) {
          End(s, Ending::StoreError, segment.path + ": " + std::strerror(errno));
          return Sent::Failed;
        }
      }
      const Sent sent = SendFile(s, s->file, segment.fileBytes, budget, segment.path);
      if (sent != Sent::All) return sent;
    }
    ReleaseFile(s);
    if (segment.body) ++s->filesSent;
    ++s->segment;
    s->byteOffset = 0;
    s->fileOffset = 0;
  }
  if (!Cork(s, false)) return Sent::Failed;
  s->fileSlot = false;
  descriptors_.Give(1);
  return Sent::All;
}

UpdateServer::Loop::Sent UpdateServer::Loop::SendFile(Session* s, int fd, std::uint64_t size,
                                                      std::size_t& budget, const std::string& what) {
  while (s->fileOffset < size) {
    if (budget == 0) return Sent::Spent;
    off_t offset = static_cast<off_t>(s->fileOffset);
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - s->fileOffset, budget));
    const ssize_t n = ::sendfile(s->socket.get(), fd, &offset, chunk);
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
    bytesSent_ += static_cast<std::uint64_t>(n);
    budget -= static_cast<std::size_t>(n);
    Touch(s);
  }
  return Sent::All;
}

bool UpdateServer::Loop::Finish(Session* s) {
  s->phase = Session::Done;
  if (s->readClosed) {
    // Everything is sent and the updater has nothing more to say.
    End(s, Ending::Completed);
    return false;
  }
  return WatchWrite(s, false);
}

bool UpdateServer::Loop::Failed(Session* s, const char* what) {
  const int error = errno;
  const bool peerGone = error == EPIPE || error == ECONNRESET;
  End(s, peerGone ? Ending::ClosedEarly : Ending::NetworkError,
      std::string(what) + ": " + std::strerror(error));
  return false;
}

bool UpdateServer::Loop::WatchWrite(Session* s, bool want) {
  if (s->writeWatched == want) return true;
  s->writeWatched = want;
  return Watch(s);
}

bool UpdateServer::Loop::Watch(Session* s) {
  const std::uint32_t events = (s->readClosed ? 0u : std::uint32_t{EPOLLIN | EPOLLRDHUP}) |
                               (s->writeWatched ? std::uint32_t{EPOLLOUT} : 0u);
  if (Control(EPOLL_CTL_MOD, s->socket.get(), events, s)) return true;
  End(s, Ending::NetworkError, std::string("cannot watch the session: ") + std::strerror(errno));
  return false;
}

bool UpdateServer::Loop::Cork(Session* s, bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(s->socket.get(), IPPROTO_TCP, TCP_CORK, &value, sizeof value) == 0 ||
         Failed(s, "TCP_CORK");
}

void UpdateServer::Loop::Touch(Session* s) {
  s->lastProgress = now_;
  if (s != progress_.newest) progress_.TakeFrom(progress_, s);
}

void UpdateServer::Loop::ReleaseFile(Session* s) {
  s->ownFile.Reset();
  s->file = -1;
}

SessionList& UpdateServer::Loop::ListOf(Session* s) {
  if (s->phase == Session::WaitRequest) return waiting_;
  if (s->parked) return parked_;
  return s->hold == Session::Queued ? queued_ : progress_;
}

void UpdateServer::Loop::End(Session* s, Ending ending, const std::string& detail) {
  const std::int64_t elapsedMs = NowMs() - s->started;
  log_.Ended(*s, ending, detail, elapsedMs);
  durations_.Observe(elapsedMs);
  if (s->hold == Session::Delayed) {
    delayed_.erase(s->due);
  } else {
    ListOf(s).Remove(s);
  }
  if (s->addressCounted) perAddress_.Remove(s->peerAddress);
  descriptors_.Give(s->fileSlot ? 2 : 1);
  // Closes its socket, which also leaves the epoll set, and its own file;
  // may end a snapshot, which gives back its cached files.
  delete s;
  --open_;
  ++counts_[static_cast<int>(ending)];
}

void UpdateServer::Loop::EndAll() {
  for (SessionList* list : {&waiting_, &progress_, &parked_, &queued_}) {
    while (list->oldest != nullptr) End(list->oldest, Ending::Stopped);
  }
  while (!delayed_.empty()) End(delayed_.begin()->second, Ending::Stopped);
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

std::string UpdateServer::Loop::MetricsNow() const {
  MetricsView view;
  for (int e = 0; e < kEndings; ++e) view.endings[e] = counts_[e].load();
  view.bytesSent = bytesSent_;
  view.inProgress = open_;
  view.durations = &durations_;
  if (backs_) {
    for (const BackServers::Back& b : backs_->backs())
      view.backs.push_back({b.server.address, b.up, b.handedOut});
  }
  view.store = &served_->snapshot();
  return MetricsText(view);
}

UpdateServer::UpdateServer(ServerOptions options) : loop_(std::make_unique<Loop>(std::move(options))) {}
UpdateServer::~UpdateServer() = default;
std::uint16_t UpdateServer::port() const { return loop_->port(); }
std::uint16_t UpdateServer::metricsPort() const { return loop_->metricsPort(); }
void UpdateServer::Run() { loop_->Run(); }
void UpdateServer::Stop() { loop_->Stop(); }
std::uint64_t UpdateServer::Count(Ending ending) const { return loop_->Count(ending); }
std::size_t UpdateServer::OpenSessions() const { return loop_->OpenSessions(); }

}  // namespace server
