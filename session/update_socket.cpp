#include "session/update_socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace session {
namespace {

int connectTimeoutMs = 5000;
int notificationBurst = 1024;
// Back-to-back notifications also stop after this long, so painting and
// button clicks get their turn during a fast download.
constexpr auto kBurstTime = std::chrono::milliseconds(20);

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

}  // namespace

int CUpdateSocket::ConnectTimeoutMs() { return connectTimeoutMs; }
void CUpdateSocket::SetConnectTimeoutMs(int milliseconds) { connectTimeoutMs = milliseconds; }
void CUpdateSocket::SetNotificationBurst(int count) { notificationBurst = count < 1 ? 1 : count; }

CUpdateSocket::~CUpdateSocket() { Close(); }

bool CUpdateSocket::Create() {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    lastError_ = errno;
    return false;
  }
  attempted_ = false;
  return true;
}

bool CUpdateSocket::ConnectAndRecord(SocketOwner* newOwner, const std::string& host,
                                     unsigned port) {
  // A socket that already took part in a connect cannot connect again here;
  // the same object then takes a new one.
  if (fd_ < 0 || attempted_) {
    if (!Create()) return false;
  }
  attempted_ = true;
  Ipv4Address address = 0;
  if (!ResolveIpv4(host, address) || port > 0xFFFF) {
    lastError_ = EINVAL;
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  std::memcpy(&to.sin_addr.s_addr, &address, 4);

  // Non-blocking connect waited for with a bound, then back to blocking: an
  // unreachable address fails after a few seconds like a refused one.
  const int flags = fcntl(fd_, F_GETFL);
  fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd_, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&p, 1, connectTimeoutMs);
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0) {
        error = errno;
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  fcntl(fd_, F_SETFL, flags);
  if (error != 0) {
    lastError_ = error;
    return false;
  }
  sockaddr_in own{};
  socklen_t ownLength = sizeof own;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0) {
    lastError_ = errno;
    return false;
  }
  std::memcpy(&localAddress, &own.sin_addr.s_addr, 4);
  connected_ = true;
  owner = newOwner;
  lastError_ = 0;
  peerEnded_ = false;
  source_ = wxEventLoopBase::AddSourceForFD(fd_, this, wxEVENT_SOURCE_INPUT);
  return true;
}

bool CUpdateSocket::SendAll(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (length > 0) {
    const ssize_t sent = ::send(fd_, p, length, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      lastError_ = sent < 0 ? errno : 0;
      return false;
    }
    p += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

long CUpdateSocket::Receive(void* buffer, std::size_t length) {
  if (fd_ < 0) return -1;
  receivedThisPass_ = true;
  // A notification that follows another one at once was not reported by the
  // event loop, so its receive must not wait: finding nothing ends the burst.
  const int flags = chainedPass_ ? MSG_DONTWAIT : 0;
  ssize_t got;
  do {
    got = ::recv(fd_, buffer, length, flags);
  } while (got < 0 && errno == EINTR);
  moreLikely_ = got > 0 && static_cast<std::size_t>(got) == length;
  if (got == 0 && length > 0) {
    peerEnded_ = true;
    peerEndCode_ = 0;
  } else if (got < 0 && !(chainedPass_ && (errno == EAGAIN || errno == EWOULDBLOCK))) {
    lastError_ = errno;
    peerEnded_ = true;
    peerEndCode_ = errno;
  }
  return static_cast<long>(got);
}

void CUpdateSocket::StopWatching() {
  delete source_;  // unregisters the descriptor; this handler object stays alive
  source_ = nullptr;
}

void CUpdateSocket::HoldNotifications() {
  if (source_ == nullptr) return;
  StopWatching();
  held_ = true;
}

void CUpdateSocket::ReleaseNotifications() {
  if (!held_) return;
  held_ = false;
  if (fd_ >= 0) source_ = wxEventLoopBase::AddSourceForFD(fd_, this, wxEVENT_SOURCE_INPUT);
}

void CUpdateSocket::Close() {
  held_ = false;
  owner = nullptr;
  StopWatching();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  connected_ = false;
  peerEnded_ = false;
}

// Used when the owner's pass did not receive: tells an end or an error of
// the stream (which the descriptor also reports as readable) from data.
void CUpdateSocket::PeekForEnd() {
  std::uint8_t probe;
  const ssize_t got = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got == 0) {
    peerEnded_ = true;
    peerEndCode_ = 0;
  } else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    peerEnded_ = true;
    peerEndCode_ = errno;
  }
}

// One readiness report from the event loop. Each receive-ready notification
// is one pass of the owner; while more data is likely waiting, the next
// notification follows at once (bounded in count and time), which is what a
// queue of pending notifications would deliver anyway, without a trip through
// the loop per 2 KB. The end of the stream, seen by a receive, becomes the
// closed notification after the pass that saw it.
void CUpdateSocket::OnReadWaiting() {
  if (dispatching_ || source_ == nullptr) return;
  dispatching_ = true;
  const auto start = std::chrono::steady_clock::now();
  for (int pass = 0; pass < notificationBurst; ++pass) {
    if (owner == nullptr || fd_ < 0) break;
    receivedThisPass_ = false;
    moreLikely_ = false;
    chainedPass_ = pass > 0;
    owner->HandleReceive();
    chainedPass_ = false;
    if (fd_ < 0 || source_ == nullptr) break;  // closed or replaced during the pass
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
