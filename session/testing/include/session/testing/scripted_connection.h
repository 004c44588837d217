#pragma once
/// A Connection that the test or the fuzzer plays in its own thread, without
/// a socket or an event loop: it says which servers accept, what the server
/// sends (each piece read by receives of its own, as a server that waits for
/// the request sends the rest only after it) and how the stream ends; it
/// records what the session connected to and sent.

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "session/connection.h"

namespace session::testing {

class ScriptedConnection : public Connection {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // The script.
  /// Connections to HOST fail from now on; an empty host always fails.
  void Refuse(const std::string& host) { refused_.insert(host); }
  /// Own address of the connections made from now on.
  Ipv4Address localAddress = kLoopbackAddress;
  /// When set, making a new endpoint fails.
  bool createFails = false;

  /// The server sends BYTES on the current connection and the session
  /// handles the readiness reports until it has taken them (or closed).
  void Send(const Bytes& bytes);
  /// Send, one piece of at most PIECE bytes at a time.
  void SendInPieces(const Bytes& bytes, std::size_t piece);
  /// The server ends the stream (ERRORCODE 0) or it breaks: a receive meets
  /// the end, then the closed notification follows, unless the session
  /// closed the connection first.
  void End(int errorCode = 0);

  // What happened.
  /// "host:port" of every connection made, in order.
  const std::vector<std::string>& connections() const { return connections_; }
  /// The bytes sent since the last call.
  Bytes TakeSent();
  bool IsOpen() const { return open_; }

  // Connection.
  bool Create() override;
  bool ConnectAndRecord(ConnectionOwner* owner, const std::string& host, unsigned port) override;
  bool SendAll(const void* bytes, std::size_t length) override;
  long Receive(void* buffer, std::size_t length) override;
  void Close() override;
  Ipv4Address LocalAddress() const override { return connectedFrom_; }

 private:
  /// Readiness reports until nothing waits, the session closed, or a pass
  /// took nothing.
  void Deliver();

  std::set<std::string> refused_;
  std::deque<Bytes> pieces_;  // what the server sent and the session has not taken
  std::size_t taken_ = 0;     // bytes of pieces_.front() already received
  ConnectionOwner* owner_ = nullptr;
  bool open_ = false;
  bool ended_ = false;  // the stream ended: receives give 0 (or -1)
  int endCode_ = 0;
  Ipv4Address connectedFrom_ = 0;
  std::vector<std::string> connections_;
  Bytes sent_;
};

}  // namespace session::testing
