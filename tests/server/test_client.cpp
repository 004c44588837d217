#include "test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace server_test {

TestClient::TestClient(std::uint16_t port, int receiveBuffer, session::Ipv4Address from) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (from != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = from;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) Close();
  }
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) Close();
}

TestClient::~TestClient() { Close(); }

void TestClient::ShutdownSending() { ::shutdown(fd_, SHUT_WR); }

void TestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TestClient::ReadExact(void* out, std::size_t n, int timeoutMs) {
  auto* p = static_cast<std::uint8_t*>(out);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (n > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    pollfd pfd{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t got = ::recv(fd_, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool TestClient::Send(const std::vector<std::uint8_t>& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<session::VersionReply> TestClient::ReadReply() {
  std::uint8_t bytes[session::kVersionReplySize];
  if (!ReadExact(bytes, sizeof bytes)) return std::nullopt;
  return session::DecodeVersionReply(bytes);
}

bool TestClient::SendRequest(std::uint8_t code, std::uint32_t major, std::uint32_t minor) {
  std::vector<std::uint8_t> bytes(session::kUpdateRequestSize);
  session::EncodeUpdateRequest({code, major, minor}, bytes.data());
  return Send(bytes);
}

Answer TestClient::ReadAnswer(bool notice) {
  Answer answer;
  std::uint8_t four[4];
  if (notice) {
    if (!ReadExact(four, 4)) return answer;
    answer.notice.resize(session::DecodeNoticeLength(four));
    if (!ReadExact(answer.notice.data(), answer.notice.size())) return answer;
  }
  std::uint8_t list[session::kFileListHeaderSize];
  if (!ReadExact(list, sizeof list)) return answer;
  answer.list = session::DecodeFileListHeader(list);
  const int files = answer.list.counts[0] + answer.list.counts[1];
  for (int i = 0; i < files; ++i) {
    std::vector<std::uint8_t> header(2);
    if (!ReadExact(header.data(), 2)) return answer;
    header.resize(session::GetU16(header.data()));
    if (header.size() < session::kFileHeaderMinSize || !ReadExact(header.data() + 2, header.size() - 2)) {
      return answer;
    }
    session::FileHeader h;
    if (session::DecodeFileHeader(header.data(), h) != session::HeaderVerdict::Accepted) return answer;
    ReceivedFile file{h.name, h.version, std::string(static_cast<std::size_t>(h.bodyLength), '\0')};
    if (!ReadExact(file.body.data(), file.body.size())) return answer;
    answer.files.push_back(std::move(file));
  }
  answer.complete = true;
  return answer;
}

Answer TestClient::Update(std::uint32_t major, std::uint32_t minor, bool notice) {
  if (!ReadReply() ||
      !SendRequest(notice ? session::RequestNoticeAndFiles : session::RequestFilesOnly, major, minor)) {
    return {};
  }
  return ReadAnswer(notice);
}

bool TestClient::WaitClosed(int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char sink[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    pollfd pfd{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
    if (::recv(fd_, sink, sizeof sink, 0) <= 0) return true;
  }
}

}  // namespace server_test
