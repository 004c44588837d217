#pragma once
/// CUpdateSocket: the session's Connection as a TCP stream socket on the UI
/// thread. Connect, send and
/// receive block and never yield to the event loop. Receive-ready and
/// connection-closed notifications come from the UI thread's event loop, one
/// at a time, to the socket's owner; whatever became ready during a blocking
/// call is delivered after that call returned, in order. An explicit Close
/// stops the notifications and produces no closed notification.
///
/// On Windows the notifications are Winsock's (WSAAsyncSelect onto a hidden
/// window of the UI thread) and a blocking call lets only painting happen
/// while it waits; elsewhere they come from a watch of the descriptor on the
/// wxWidgets loop (update_socket_windows.cpp, update_socket_posix.cpp). Error
/// values are the platform's: WSA codes on Windows, errno values elsewhere.

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/connection.h"
#include "session/wire.h"

struct sockaddr_in;

namespace session {

class CUpdateSocket : public Connection {
 public:
  CUpdateSocket() = default;
  ~CUpdateSocket() override;
  CUpdateSocket(const CUpdateSocket&) = delete;
  CUpdateSocket& operator=(const CUpdateSocket&) = delete;

  /// Makes a new stream socket (closing one still open); false when the
  /// system refuses one.
  bool Create() override;

  /// Connects to HOST (dotted IPv4 address, else a host name whose first IPv4
  /// address is used) at PORT, blocking until the system gives up or at most
  /// ConnectTimeoutMs(). On
  /// success records localAddress, sets owner, starts the notifications and
  /// leaves LastError() at 0. On failure owner stays as it was and LastError()
  /// holds the reason (kInvalidArgument for a name that does not resolve).
  bool ConnectAndRecord(ConnectionOwner* newOwner, const std::string& host, unsigned port) override;

  /// Sends until every byte is gone; false as soon as one send gives 0 or less.
  bool SendAll(const void* bytes, std::size_t length) override;

  /// One blocking receive of at most LENGTH bytes: the count, 0 at the end
  /// of the stream, -1 on an error (or, in a notification delivered right
  /// after another, when nothing is waiting: such a receive never waits). An end or error seen here is delivered as
  /// the closed notification once the current notification has returned.
  long Receive(void* buffer, std::size_t length) override;

  /// Clears owner, stops the notifications and closes the socket.
  void Close() override;

  /// Holds the notifications back while the UI thread waits for other work
  /// (the installation); whatever became ready meanwhile is delivered after
  /// the release, as after a blocking call.
  void HoldNotifications();
  void ReleaseNotifications();

  bool IsOpen() const { return handle_ != kNoSocket; }
  bool IsConnected() const { return connected_; }
  int LastError() const { return lastError_; }
  Ipv4Address LocalAddress() const override { return localAddress; }

  /// The bound on a blocking connect: none of our own on Windows (the
  /// system's connect gives up after about 21 s), 22 s elsewhere; negative
  /// means none.
  static int ConnectTimeoutMs();
  static void SetConnectTimeoutMs(int milliseconds);

  /// Receive notifications delivered back to back while data is waiting,
  /// before control goes back to the event loop (1024 unless changed; 1 makes
  /// every notification go through the loop).
  static void SetNotificationBurst(int count);

  /// The error value of a host name that does not resolve (EINVAL, or
  /// WSAEINVAL on Windows).
  static const int kInvalidArgument;

  Ipv4Address localAddress = 0;      ///< own end of the connection, first octet lowest
  ConnectionOwner* owner = nullptr;  ///< notified while set

 private:
  /// The platform's delivery of readiness reports for the connection; made
  /// once per socket object and kept until it is destroyed.
  struct Watch;
  static constexpr std::intptr_t kNoSocket = -1;

  /// One readiness report: one or more receive passes of the owner, then
  /// the closed notification when a pass met the end of the stream.
  void DeliverNotifications();
  /// False when a report came late and nothing is there to receive any more.
  bool ReportIsCurrent();
  bool StartWatching();
  void StopWatching();
  bool IsWatching() const;
  void DestroyWatch();
  void PeekForEnd();
  /// The start of every connect: a fresh socket when this one took part in
  /// one already, and the address of HOST; false (the invalid-argument error
  /// recorded) for a name that does not resolve or a port out of range.
  bool PrepareConnect(const std::string& host, unsigned port, sockaddr_in& to);
  /// A new stream socket's handle, or kNoSocket (the error recorded).
  std::intptr_t OpenStreamSocket();
  /// Records kInvalidArgument as this socket's and the platform's last error.
  void RecordInvalidArgument();
  /// One send of at most LENGTH bytes, waiting while the system takes none:
  /// the count sent, or 0 or less (the error recorded) when it failed.
  long SendSome(const std::uint8_t* bytes, std::size_t length);

  std::intptr_t handle_ = kNoSocket;  // descriptor, or SOCKET on Windows
  Watch* watch_ = nullptr;
  bool connected_ = false;
  bool attempted_ = false;  // a connect was tried on this descriptor
  int lastError_ = 0;
  bool dispatching_ = false;
  bool receivedThisPass_ = false;
  bool chainedPass_ = false;  // this pass follows another without the loop
  bool moreLikely_ = false;   // the last receive filled what it asked for
  bool peerEnded_ = false;  // end or error seen; closed notification due
  bool held_ = false;       // watching stopped by HoldNotifications
  int peerEndCode_ = 0;
};

}  // namespace session
