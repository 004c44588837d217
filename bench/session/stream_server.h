#pragma once
// The update server side of the download benchmarks: a file list of a given
// size whose bodies repeat one megabyte of noise, sent over loopback, as fast
// as the loopback takes it or paced to the rate of a player's line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "session/wire.h"

namespace bench {

constexpr int kStreamFiles = 4;

/// What the server sends after the request: file list, then each header and body.
struct Stream {
  std::vector<std::uint8_t> pattern;  // body bytes, repeated
  std::vector<std::vector<std::uint8_t>> headers;
  std::array<std::uint8_t, session::kFileListHeaderSize> list{};
  std::int32_t bodySize = 0;
};

inline Stream MakeStream(std::int64_t totalBytes) {
  Stream s;
  s.pattern.resize(1 << 20);
  std::uint32_t x = 12345;
  for (auto& b : s.pattern) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  s.bodySize = static_cast<std::int32_t>(totalBytes / kStreamFiles);
  session::FileListHeader h;
  h.counts = {kStreamFiles / 2, kStreamFiles / 2};
  h.totalBytes = s.bodySize * kStreamFiles;
  s.list = session::EncodeFileListHeader(h);
  for (int i = 0; i < kStreamFiles; ++i) {
    s.headers.push_back(session::EncodeFileHeader(i + 1, s.bodySize, "bench" + std::to_string(i) + ".bin"));
  }
  return s;
}

inline bool SendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

/// Sends the stream; with BYTES_PER_SECOND > 0 the bodies leave in 64 KiB
/// pieces on a schedule of that rate, as over a line of that speed. Small
/// segments leave at once, as from the update server: otherwise the stream's
/// last one can wait for a delayed acknowledgement (40 ms).
inline void SendStream(int fd, const Stream& s, double bytesPerSecond = 0) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  using Clock = std::chrono::steady_clock;
  const std::size_t piece = bytesPerSecond > 0 ? std::size_t{64} << 10 : s.pattern.size();
  const auto start = Clock::now();
  double sent = 0;
  SendAll(fd, s.list.data(), s.list.size());
  for (const auto& header : s.headers) {
    SendAll(fd, header.data(), header.size());
    std::int64_t left = s.bodySize;
    std::size_t at = 0;
    while (left > 0) {
      const std::size_t n = std::min({static_cast<std::size_t>(left), piece, s.pattern.size() - at});
      if (bytesPerSecond > 0) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(sent / bytesPerSecond)));
      }
      if (!SendAll(fd, s.pattern.data() + at, n)) return;
      at = (at + n) % s.pattern.size();
      sent += static_cast<double>(n);
      left -= static_cast<std::int64_t>(n);
    }
  }
}

/// A listening socket on 127.0.0.1 at a free port (written to PORT).
inline int Listen(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::listen(fd, 1);
  socklen_t len = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  port = ntohs(at.sin_port);
  return fd;
}

/// Reads exactly N bytes (less when the peer ends).
inline std::size_t ReceiveExactly(int fd, std::uint8_t* into, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(fd, into + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

/// The server's side of one session on LISTENFD: accepts one updater, sends
/// a version reply with major version 1, reads its request, lets SEND_FILES
/// write the answer, then waits for the updater to close.
template <typename SendFiles>
void ServeOneSession(int listenFd, SendFiles sendFiles) {
  const int fd = ::accept(listenFd, nullptr, nullptr);
  session::VersionReply reply;
  reply.major = 1;
  const auto bytes = session::EncodeVersionReply(reply);
  SendAll(fd, bytes.data(), bytes.size());
  std::uint8_t request[session::kUpdateRequestSize];
  ReceiveExactly(fd, request, sizeof request);
  sendFiles(fd);
  std::uint8_t sink[64];
  while (::recv(fd, sink, sizeof sink, 0) > 0) {
  }
  ::close(fd);
}

}  // namespace bench
