#pragma once
/// The connection the session core reads from and writes to, and the party
/// it notifies. CUpdateSocket is the real one (a TCP socket whose
/// notifications come from the UI thread's event loop); tests and the fuzzer
/// use a scripted one that feeds bytes directly. Nothing here knows a
/// toolkit or a socket API.

#include <cstddef>
#include <string>

#include "session/wire.h"

namespace session {

/// The party notified by a connected connection (the update session): one
/// call per receive pass, and the closed notification when the server ends
/// the stream (ERRORCODE 0) or it breaks (the platform's error value).
class ConnectionOwner {
 public:
  virtual void HandleReceive() = 0;
  virtual void HandleConnectionClosed(int errorCode) = 0;

 protected:
  ~ConnectionOwner() = default;
};

class Connection {
 public:
  virtual ~Connection() = default;

  /// Makes a fresh endpoint (closing one still open); false when the system
  /// refuses one.
  virtual bool Create() = 0;
  /// Connects to HOST (dotted IPv4 or a host name) at PORT, blocking until
  /// it succeeded or failed. On success OWNER is notified from then on; on
  /// failure the owner stays as it was.
  virtual bool ConnectAndRecord(ConnectionOwner* owner, const std::string& host, unsigned port) = 0;
  /// Sends until every byte is gone; false as soon as one send fails.
  virtual bool SendAll(const void* bytes, std::size_t length) = 0;
  /// One receive of at most LENGTH bytes, called inside HandleReceive: the
  /// count, 0 at the end of the stream, -1 on an error.
  virtual long Receive(void* buffer, std::size_t length) = 0;
  /// Stops the notifications and closes; no closed notification follows.
  virtual void Close() = 0;
  /// Own end of the current connection, first octet lowest.
  virtual Ipv4Address LocalAddress() const = 0;
};

}  // namespace session
