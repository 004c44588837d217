#pragma once
/// The update server: one thread, one epoll loop, every session a small
/// state record. Bodies go from the stored gzip files to the sockets with
/// sendfile; a session keeps the store snapshot it started with while newer
/// states, read by a loader thread, are picked up for new sessions.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/session_ending.h"
#include "server/session_plan.h"
#include "session/wire.h"

namespace server {

/// A server that cannot start (address in use, no store, ...).
class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A back server a front sends updaters to, and its relative share of them.
struct BackServer {
  session::Ipv4Address address = 0;
  unsigned weight = 1;  ///< more than 0
  BackServer(session::Ipv4Address a = 0, unsigned w = 1) : address(a), weight(w) {}
};

struct ServerOptions {
  std::string store;
  session::Ipv4Address listenAddress = 0;      ///< 0.0.0.0
  std::uint16_t port = session::kDefaultPort;  ///< 0: any free port (see UpdateServer::port)
  /// Back servers named in the version reply, each checked by this server
  /// and handed out only while it serves this server's state, in proportion
  /// to its weight; none qualifies (or none given): this server sends the files.
  std::vector<BackServer> redirects;
  /// How often each back server is checked.
  std::chrono::milliseconds checkInterval{5000};
  /// The port back servers are checked on (the redirect port; other only in tests).
  std::uint16_t backPort = session::kRedirectPort;
  /// Answers `GET /metrics` on METRICSADDRESS:METRICSPORT (0: any free port).
  bool metrics = false;
  session::Ipv4Address metricsAddress = session::kLoopbackAddress;
  std::uint16_t metricsPort = 0;
  /// A session whose request has not arrived this long after it was
  /// accepted is dropped, as is one that makes no progress for this long
  /// after its request: a body the updater does not read, or a finished
  /// session the updater keeps open.
  std::chrono::milliseconds timeout{30000};
  /// Most sessions at once; 0: as many as the descriptor limit allows.
  std::size_t maxSessions = 0;
  /// Most sessions at once from one address (0: no cap); more are closed at once.
  std::size_t maxPerAddress = 64;
  /// Most bytes per second to one session (0: no cap).
  std::uint64_t rate = 0;
  /// Most bytes per second to all sessions together (0: no cap), shared in
  /// turns among the sessions ready to send.
  std::uint64_t maxRate = 0;
  /// One line per session and per store change; nullptr: silent.
  std::FILE* log = stdout;
  PlanLimits limits;
};

class UpdateServer {
 public:
  /// Loads the store and starts listening; throws ServerError or StoreError.
  explicit UpdateServer(ServerOptions options);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  /// The port listened on (the chosen one when the options said 0).
  std::uint16_t port() const;
  /// The port metrics are answered on; 0 without metrics.
  std::uint16_t metricsPort() const;
  /// Serves until Stop(); then ends every session and returns. Throws
  /// ServerError when the loop itself fails (epoll refuses a change).
  void Run();
  /// Makes Run return soon. Safe from any thread and from a signal handler.
  void Stop();

  /// Sessions ended so far, by how they ended. Safe from any thread.
  std::uint64_t Count(Ending ending) const;
  std::size_t OpenSessions() const;

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
};

}  // namespace server
