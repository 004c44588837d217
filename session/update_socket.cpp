// The part of CUpdateSocket that both platforms share: how one readiness
// report becomes receive passes of the owner and, at the end of the stream,
// the closed notification.
#include "session/update_socket.h"

#include <chrono>

namespace session {
namespace {

int connectTimeoutMs = 5000;
int notificationBurst = 1024;
// Back-to-back notifications also stop after this long, so painting and
// button clicks get their turn during a fast download.
constexpr auto kBurstTime = std::chrono::milliseconds(20);

}  // namespace

int CUpdateSocket::ConnectTimeoutMs() { return connectTimeoutMs; }
void CUpdateSocket::SetConnectTimeoutMs(int milliseconds) { connectTimeoutMs = milliseconds; }
void CUpdateSocket::SetNotificationBurst(int count) { notificationBurst = count < 1 ? 1 : count; }

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
