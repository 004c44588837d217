// CUpdateSocket on Windows Sockets. Notifications are Winsock's own:
// WSAAsyncSelect posts FD_READ and FD_CLOSE as messages to a hidden
// message-only window of the UI thread, so they wait in that thread's queue
// in the order they happened and the event loop (wx's or a message box's)
// dispatches them one at a time.
//
// The socket is non-blocking once it is selected; the blocking calls wait
// with select() in short slices and, between slices, let only WM_PAINT
// through, so the windows stay painted while every other message, our own
// notifications included, stays queued until the call returns.
//
// A blocking receive consumes data that a queued FD_READ announced, and
// Winsock posts one FD_READ per re-enabling receive, so a notification can
// arrive when there is nothing left to read. Such a late report is recognised
// (nothing readable) and dropped: it must not start a receive that waits.
// Messages of an earlier connection carry another message number and are
// dropped as well.
#include "session/update_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <cstring>

namespace session {

const int CUpdateSocket::kInvalidArgument = WSAEINVAL;

namespace {

constexpr const char* kWindowClass = "MirvaleSocketNotifications";
// Each connection of a socket object posts under its own message number, so
// whatever an earlier connection left in the queue is recognised.
constexpr UINT kFirstMessage = WM_APP + 0x100;
constexpr UINT kMessageCount = 0x1000;
// How long a blocking call waits before it lets painting happen.
constexpr int kPaintSliceMs = 50;
// Paint messages handled per slice: a window that never validates itself
// must not keep a blocking call from its socket.
constexpr int kPaintsPerSlice = 16;

SOCKET Socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

void LetPaintingHappen() {
  MSG message;
  for (int i = 0; i < kPaintsPerSlice &&
                  PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE);
       ++i) {
    DispatchMessageA(&message);
  }
}

enum class Readiness { Ready, TimedOut, Failed };

/// Waits until S is readable (or, with FORWRITE, writable or failed to
/// connect), for at most TIMEOUTMS (negative: without bound).
Readiness WaitFor(SOCKET s, bool forWrite, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int sliceMs = kPaintSliceMs;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Readiness::TimedOut;
      if (left.count() < sliceMs) sliceMs = static_cast<int>(left.count());
    }
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval slice{0, sliceMs * 1000};
    const int count = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                             forWrite ? &failed : nullptr, &slice);
    if (count == SOCKET_ERROR) return Readiness::Failed;
    if (count > 0) return Readiness::Ready;
    LetPaintingHappen();
  }
}

bool IsReadable(SOCKET s) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval now{0, 0};
  return select(0, &ready, nullptr, nullptr, &now) > 0;
}

}  // namespace

// The hidden window that Winsock posts this socket's notifications to. It
// lives on the thread that connected (the UI thread) as long as the socket
// object does.
struct CUpdateSocket::Watch {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* watch = reinterpret_cast<Watch*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (watch != nullptr && watch->active && message == watch->message &&
        static_cast<SOCKET>(wParam) == Socket(watch->socket.handle_)) {
      watch->socket.DeliverNotifications();
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  static bool RegisterClassOnce() {
    static const bool registered = [] {
      WNDCLASSA windowClass{};
      windowClass.lpfnWndProc = &Procedure;
      windowClass.hInstance = GetModuleHandleA(nullptr);
      windowClass.lpszClassName = kWindowClass;
      return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
  }

  explicit Watch(CUpdateSocket& socket) : socket(socket) {
    if (!RegisterClassOnce()) return;
    window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    if (window != nullptr) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~Watch() {
    if (window != nullptr) DestroyWindow(window);
  }

  CUpdateSocket& socket;
  HWND window = nullptr;
  UINT message = kFirstMessage;
  bool active = false;
};

std::intptr_t CUpdateSocket::OpenStreamSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    lastError_ = WSAGetLastError();
    return kNoSocket;
  }
  return static_cast<std::intptr_t>(s);
}

bool CUpdateSocket::ConnectAndRecord(ConnectionOwner* newOwner, const std::string& host,
                                     unsigned port) {
  sockaddr_in to{};
  if (!PrepareConnect(host, port, to)) return false;
  const SOCKET s = Socket(handle_);

  // A connect waited for (with painting) until the system gives up on it,
  // or until a bound set for tests has passed.
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int error = 0;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      switch (WaitFor(s, true, ConnectTimeoutMs())) {
        case Readiness::TimedOut: error = WSAETIMEDOUT; break;
        case Readiness::Failed: error = WSAGetLastError(); break;
        case Readiness::Ready: {
          int length = sizeof error;
          if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            error = WSAGetLastError();
          break;
        }
      }
    }
  }
  if (error != 0) {
    lastError_ = error;
    WSASetLastError(error);
    return false;
  }
  sockaddr_in own{};
  int ownLength = sizeof own;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0) {
    lastError_ = WSAGetLastError();
    return false;
  }
  std::memcpy(&localAddress, &own.sin_addr.s_addr, 4);
  peerEnded_ = false;
  if (!StartWatching()) {
    lastError_ = WSAGetLastError() != 0 ? WSAGetLastError() : WSAEINVAL;
    return false;
  }
  connected_ = true;
  owner = newOwner;
  lastError_ = 0;
  WSASetLastError(0);
  return true;
}

void CUpdateSocket::RecordInvalidArgument() {
  lastError_ = WSAEINVAL;
  WSASetLastError(WSAEINVAL);
}

/// Winsock's calls take an int count: larger transfers go in pieces.
constexpr std::size_t kLargestPiece = 0x40000000;

long CUpdateSocket::SendSome(const std::uint8_t* bytes, std::size_t length) {
  const SOCKET s = Socket(handle_);
  const int piece = static_cast<int>(length > kLargestPiece ? kLargestPiece : length);
  for (;;) {
    const int sent = ::send(s, reinterpret_cast<const char*>(bytes), piece, 0);
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      if (WaitFor(s, true, -1) != Readiness::Failed) continue;
      lastError_ = WSAGetLastError();
      return -1;
    }
    if (sent <= 0) lastError_ = sent < 0 ? WSAGetLastError() : 0;
    return sent;
  }
}

long CUpdateSocket::Receive(void* buffer, std::size_t length) {
  if (!IsOpen()) return -1;
  const SOCKET s = Socket(handle_);
  receivedThisPass_ = true;
  const int wanted = static_cast<int>(length > kLargestPiece ? kLargestPiece : length);
  int got;
  int error = 0;
  for (;;) {
    got = ::recv(s, static_cast<char*>(buffer), wanted, 0);
    if (got != SOCKET_ERROR) break;
    error = WSAGetLastError();
    // A notification that follows another one at once was not reported by
    // Winsock, so its receive must not wait: finding nothing ends the burst.
    if (error != WSAEWOULDBLOCK || chainedPass_) break;
    if (WaitFor(s, false, -1) == Readiness::Failed) {
      error = WSAGetLastError();
      break;
    }
  }
  moreLikely_ = got > 0 && static_cast<std::size_t>(got) == length;
  if (got == 0 && length > 0) {
    peerEnded_ = true;
    peerEndCode_ = 0;
  } else if (got == SOCKET_ERROR && error != WSAEWOULDBLOCK) {
    lastError_ = error;
    peerEnded_ = true;
    peerEndCode_ = error;
  }
  return got == SOCKET_ERROR ? -1 : static_cast<long>(got);
}

bool CUpdateSocket::StartWatching() {
  if (watch_ == nullptr) watch_ = new Watch(*this);
  if (watch_->window == nullptr) return false;
  watch_->message = kFirstMessage + (watch_->message - kFirstMessage + 1) % kMessageCount;
  if (WSAAsyncSelect(Socket(handle_), watch_->window, watch_->message,
                     FD_READ | FD_OOB | FD_CLOSE) == SOCKET_ERROR)
    return false;
  watch_->active = true;
  return true;
}

void CUpdateSocket::StopWatching() {
  if (watch_ == nullptr || !watch_->active) return;
  // No further notifications; those already queued carry a retired number.
  WSAAsyncSelect(Socket(handle_), watch_->window, 0, 0);
  watch_->active = false;
}

bool CUpdateSocket::IsWatching() const { return watch_ != nullptr && watch_->active; }

void CUpdateSocket::DestroyWatch() {
  delete watch_;
  watch_ = nullptr;
}

bool CUpdateSocket::ReportIsCurrent() { return IsOpen() && IsReadable(Socket(handle_)); }

void CUpdateSocket::Close() {
  held_ = false;
  owner = nullptr;
  StopWatching();
  if (IsOpen()) closesocket(Socket(handle_));
  handle_ = kNoSocket;
  connected_ = false;
  peerEnded_ = false;
}

// Used when the owner's pass did not receive: tells an end or an error of
// the stream (which also make the socket readable) from data.
void CUpdateSocket::PeekForEnd() {
  char probe;
  const int got = ::recv(Socket(handle_), &probe, 1, MSG_PEEK);
  if (got == 0) {
    peerEnded_ = true;
    peerEndCode_ = 0;
  } else if (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
    peerEnded_ = true;
    peerEndCode_ = WSAGetLastError();
  }
}

}  // namespace session
