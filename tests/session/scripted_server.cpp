#include <algorithm>
#include "scripted_server.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

namespace testing_session {

// The few calls where Winsock and POSIX sockets differ.
namespace {
#ifdef _WIN32
using ssize_t = int;
using socklen_t = int;
constexpr int MSG_NOSIGNAL = 0;
int CloseSocket(int fd) { return ::closesocket(static_cast<SOCKET>(fd)); }
int PollOne(pollfd* p, int ms) { return ::WSAPoll(p, 1, ms); }
int Accept(int fd) { return static_cast<int>(::accept(static_cast<SOCKET>(fd), nullptr, nullptr)); }
#else
int CloseSocket(int fd) { return ::close(fd); }
int PollOne(pollfd* p, int ms) { return ::poll(p, 1, ms); }
int Accept(int fd) { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
#endif
}  // namespace

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

ScriptedServer::ScriptedServer(const std::string& address, std::uint16_t port) {
  listenFd_ = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(listenFd_, 4) != 0) {
    ADD_FAILURE() << "cannot listen on " << address << ":" << port << ": " << std::strerror(errno);
    return;
  }
  socklen_t len = sizeof at;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&at), &len);
  port_ = ntohs(at.sin_port);
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) CloseSocket(listenFd_);
}

ScriptedServer& ScriptedServer::Send(const Bytes& bytes) {
  steps_.push_back({Step::SendBytes, bytes});
  return *this;
}

ScriptedServer& ScriptedServer::SendInPieces(const Bytes& bytes, std::size_t piece, int pauseMs) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    Send(Bytes(bytes.begin() + at, bytes.begin() + at + n));
    if (at + n < bytes.size()) Pause(pauseMs);
  }
  return *this;
}

ScriptedServer& ScriptedServer::Expect(std::size_t count) {
  Step s{Step::ExpectBytes};
  s.count = count;
  steps_.push_back(s);
  return *this;
}

ScriptedServer& ScriptedServer::Pause(int ms) {
  Step s{Step::PauseMs};
  s.ms = ms;
  steps_.push_back(s);
  return *this;
}

ScriptedServer& ScriptedServer::Close() {
  steps_.push_back({Step::CloseOrderly});
  return *this;
}

ScriptedServer& ScriptedServer::Reset() {
  steps_.push_back({Step::CloseReset});
  return *this;
}

void ScriptedServer::Start() { thread_ = std::thread([this] { Run(); }); }

Bytes ScriptedServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedServer::WaitReadable(int fd, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && std::chrono::steady_clock::now() < until) {
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    if (PollOne(&p, 20) > 0) return true;
  }
  return false;
}

void ScriptedServer::Run() {
  if (listenFd_ < 0 || !WaitReadable(listenFd_, 10000)) {
    finished_ = true;
    return;
  }
  const int fd = Accept(listenFd_);
  if (fd < 0) {
    finished_ = true;
    return;
  }
  accepted_ = true;
  bool open = true;
  for (const Step& step : steps_) {
    if (stop_ || !open) break;
    switch (step.kind) {
      case Step::SendBytes: {
        std::size_t at = 0;
        while (at < step.bytes.size()) {
          const ssize_t n = ::send(fd, reinterpret_cast<const char*>(step.bytes.data()) + at,
                                   static_cast<int>(step.bytes.size() - at), MSG_NOSIGNAL);
          if (n <= 0) break;
          at += static_cast<std::size_t>(n);
        }
        break;
      }
      case Step::ExpectBytes: {
        std::size_t got = 0;
        std::uint8_t chunk[512];
        while (got < step.count && WaitReadable(fd, 5000)) {
          const ssize_t n = ::recv(fd, reinterpret_cast<char*>(chunk),
                                   static_cast<int>(std::min(sizeof chunk, step.count - got)), 0);
          if (n <= 0) break;
          std::lock_guard<std::mutex> lock(mutex_);
          received_.insert(received_.end(), chunk, chunk + n);
          got += static_cast<std::size_t>(n);
        }
        break;
      }
      case Step::PauseMs: {
        // Cut short when the server is being destroyed.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
        while (!stop_ && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(step.ms, 10)));
        }
        break;
      }
      case Step::CloseOrderly:
        CloseSocket(fd);
        open = false;
        break;
      case Step::CloseReset: {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        CloseSocket(fd);
        open = false;
        break;
      }
    }
  }
  finished_ = true;
  if (open) {
    // Hold the connection until the client closes it (or the test ends).
    std::uint8_t chunk[512];
    while (!stop_) {
      if (!WaitReadable(fd, 100)) continue;
      const ssize_t n = ::recv(fd, reinterpret_cast<char*>(chunk), sizeof chunk, 0);
      if (n <= 0) {
        clientClosed_ = true;
        break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), chunk, chunk + n);
    }
    CloseSocket(fd);
  }
}

}  // namespace testing_session
