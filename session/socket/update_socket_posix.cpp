#include "session/update_socket.h"

#include <cerrno>
#include <cstring>

#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace session {

const int CUpdateSocket::kInvalidArgument = EINVAL;

// The descriptor's readability, watched by the wxWidgets loop (epoll in
// console programs, GLib under GTK).
struct CUpdateSocket::Watch : wxEventLoopSourceHandler {
  explicit Watch(CUpdateSocket& socket) : socket(socket) {}
  void OnReadWaiting() override { socket.DeliverNotifications(); }
  void OnWriteWaiting() override {}
  void OnExceptionWaiting() override { socket.DeliverNotifications(); }

  CUpdateSocket& socket;
  wxEventLoopSource* source = nullptr;
};

namespace {

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

std::intptr_t CUpdateSocket::OpenStreamSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) lastError_ = errno;
  return fd < 0 ? kNoSocket : fd;
}

bool CUpdateSocket::ConnectAndRecord(ConnectionOwner* newOwner, const std::string& host,
                                     unsigned port) {
  sockaddr_in to{};
  if (!PrepareConnect(host, port, to)) return false;
  const int fd = Descriptor(handle_);

  // Non-blocking connect waited for with a bound, then back to blocking: an
  // unreachable address fails once the bound has passed, like a refused one.
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&p, 1, ConnectTimeoutMs());
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0) {
        error = errno;
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  fcntl(fd, F_SETFL, flags);
  if (error != 0) {
    lastError_ = error;
    return false;
  }
  sockaddr_in own{};
  socklen_t ownLength = sizeof own;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0) {
    lastError_ = errno;
    return false;
  }
  std::memcpy(&localAddress, &own.sin_addr.s_addr, 4);
  peerEnded_ = false;
  if (!StartWatching()) {
    lastError_ = EINVAL;
    return false;
  }
  connected_ = true;
  owner = newOwner;
  lastError_ = 0;
  return true;
}

void CUpdateSocket::RecordInvalidArgument() { lastError_ = EINVAL; }

long CUpdateSocket::SendSome(const std::uint8_t* bytes, std::size_t length) {
  ssize_t sent;
  do {
    sent = ::send(Descriptor(handle_), bytes, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent <= 0) lastError_ = sent < 0 ? errno : 0;
  return static_cast<long>(sent);
}

long CUpdateSocket::Receive(void* buffer, std::size_t length) {
  if (!IsOpen()) return -1;
  const int fd = Descriptor(handle_);
  receivedThisPass_ = true;
  // A notification that follows another one at once was not reported by the
  // event loop, so its receive must not wait: finding nothing ends the burst.
  const int flags = chainedPass_ ? MSG_DONTWAIT : 0;
  ssize_t got;
  do {
    got = ::recv(fd, buffer, length, flags);
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

bool CUpdateSocket::StartWatching() {
  if (watch_ == nullptr) watch_ = new Watch(*this);
  watch_->source = wxEventLoopBase::AddSourceForFD(Descriptor(handle_), watch_, wxEVENT_SOURCE_INPUT);
  return watch_->source != nullptr;
}

void CUpdateSocket::StopWatching() {
  if (watch_ == nullptr) return;
  delete watch_->source;  // unregisters the descriptor; the handler stays alive
  watch_->source = nullptr;
}

bool CUpdateSocket::IsWatching() const { return watch_ != nullptr && watch_->source != nullptr; }

void CUpdateSocket::DestroyWatch() {
  StopWatching();
  delete watch_;
  watch_ = nullptr;
}

// The loop reports readability as it stands when it looks.
bool CUpdateSocket::ReportIsCurrent() { return true; }

void CUpdateSocket::Close() {
  held_ = false;
  owner = nullptr;
  StopWatching();
  if (IsOpen()) ::close(Descriptor(handle_));
  handle_ = kNoSocket;
  connected_ = false;
  peerEnded_ = false;
}

// Used when the owner's pass did not receive: tells an end or an error of
// the stream (which the descriptor also reports as readable) from data.
void CUpdateSocket::PeekForEnd() {
  std::uint8_t probe;
  const ssize_t got = ::recv(Descriptor(handle_), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got == 0) {
    peerEnded_ = true;
    peerEndCode_ = 0;
  } else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    peerEnded_ = true;
    peerEndCode_ = errno;
  }
}

}  // namespace session
