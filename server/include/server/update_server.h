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
  /// One line per session and per store change; nullptr: silent.
  std::FILE* log = stdout;
  PlanLimits limits;
};

/// How a session ended: counted, and named at the end of its log line.
enum class Ending {
  Completed,     ///< everything sent (the updater closed, or stayed idle after the end)
  NoRequest,     ///< the updater closed before asking: up to date, redirected or gone
  IdleTimeout,   ///< no request within the timeout
  Stalled,       ///< a body made no progress within the timeout
  ClosedEarly,   ///< the updater closed or reset before the end
  BadRequest,    ///< the request code was neither 0x01 nor 0x41
  ExtraData,     ///< bytes after the 9-byte request
  NetworkError,  ///< a send or receive failed otherwise
  StoreError,    ///< a stored file could not be sent as recorded
  Stopped,       ///< the server stopped
  Displaced,     ///< no request yet while the server was full and others waited
  AddressFull,   ///< its address already held the most sessions allowed
};
constexpr int kEndings = 12;
const char* EndingText(Ending ending);

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
