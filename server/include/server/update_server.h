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

struct ServerOptions {
  std::string store;
  session::Ipv4Address listenAddress = 0;      ///< 0.0.0.0
  std::uint16_t port = session::kDefaultPort;  ///< 0: any free port (see UpdateServer::port)
  /// Sent in the version reply, one after the other per session; empty: no redirect.
  std::vector<session::Ipv4Address> redirects;
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
