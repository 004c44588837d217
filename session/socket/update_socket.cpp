// The part of CUpdateSocket that both platforms share: how one readiness
// report becomes receive passes of the owner and, at the end of the stream,
// the closed notification.
#include "session/update_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

#include <chrono>
#include <cstring>

namespace session {
namespace {

/// A dotted address as it is, else the first IPv4 address of a host name.
bool ResolveIpv4(const std::string& host, Ipv4Address& address) {
  if (ParseIpv4(host, address)) return true;
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(&address, &in->sin_addr.s_addr, 4);  // stays in network order
  freeaddrinfo(found);
  return true;
}

// A connect waits as long as a Windows system's own connect does before it
// gives up (three SYNs over about 21 s), so a slow or lossy link connects
// wherever the game's players expect it to. Windows itself keeps that bound;
// elsewhere the system would wait minutes, so a bound a little above it is kept.
#ifdef _WIN32
int connectTimeoutMs = -1;
#else
int connectTimeoutMs = 22000;
#endif
int notificationBurst = 1024;
// Back-to-back notifications also stop after this long, so painting and
// button clicks get their turn during a fast download.
constexpr auto kBurstTime = std::chrono::milliseconds(20);

}  // namespace

int CUpdateSocket::ConnectTimeoutMs() { return connectTimeoutMs; }
void CUpdateSocket::SetConnectTimeoutMs(int milliseconds) { connectTimeoutMs = milliseconds; }
void CUpdateSocket::SetNotificationBurst(int count) { notificationBurst = count < 1 ? 1 : count; }

bool CUpdateSocket::Create() {
  Close();
  handle_ = OpenStreamSocket();
  attempted_ = false;
  return IsOpen();
}

bool CUpdateSocket::PrepareConnect(const std::string& host, unsigned port, sockaddr_in& to) {
  // A socket that already took part in a connect cannot connect again here;
  // the same object then takes a new one.
  if (!IsOpen() || attempted_) {
    if (!Create()) return false;
  }
  attempted_ = true;
  Ipv4Address address = 0;
  if (!ResolveIpv4(host, address) || port > 0xFFFF) {
    RecordInvalidArgument();
    return false;
  }
  to = sockaddr_in{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  std::memcpy(&to.sin_addr.s_addr, &address, 4);
  return true;
}

bool CUpdateSocket::SendAll(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (length > 0) {
    const long sent = SendSome(p, length);
    if (sent <= 0) return false;
    p += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

CUpdateSocket::~CUpdateSocket() {
  Close();
  DestroyWatch();
}

void CUpdateSocket::HoldNotifications() {
  if (!IsWatching()) return;
  StopWatching();
  held_ = true;
}

void CUpdateSocket::ReleaseNotifications() {
  if (!held_) return;
  held_ = false;
  if (IsOpen()) StartWatching();
}

// One readiness report from the event loop. Each receive-ready notification
// is one pass of the owner; while more data is likely waiting, the next
// notification follows at once (bounded in count and time), which is what a
// queue of pending notifications would deliver anyway, without a trip through
// the loop per 2 KB. The end of the stream, seen by a receive, becomes the
// closed notification after the pass that saw it.
void CUpdateSocket::DeliverNotifications() {
  if (dispatching_ || !IsWatching() || !ReportIsCurrent()) return;
  dispatching_ = true;
  const auto start = std::chrono::steady_clock::now();
  for (int pass = 0; pass < notificationBurst; ++pass) {
    if (owner == nullptr || !IsOpen()) break;
    receivedThisPass_ = false;
    moreLikely_ = false;
    chainedPass_ = pass > 0;
    owner->HandleReceive();
    chainedPass_ = false;
    if (!IsOpen() || !IsWatching()) break;  // closed or replaced during the pass
    if (!receivedThisPass_ && !peerEnded_) PeekForEnd();
    if (peerEnded_) {
      StopWatching();
      peerEnded_ = false;
      if (owner != nullptr) owner->HandleConnectionClosed(peerEndCode_);
      break;
    }
    // A receive that got less than it asked for has emptied the socket.
    if (!moreLikely_ || std::chrono::steady_clock::now() - start > kBurstTime) break;
  }
  dispatching_ = false;
}

}  // namespace session
