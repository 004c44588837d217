#include "back_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <limits>

#include "server/release_store.h"
#include "server/session_plan.h"
#include "session_log.h"

namespace server {

namespace {

std::vector<unsigned> WeightsOf(const std::vector<BackServer>& backs) {
  std::vector<unsigned> weights;
  for (const BackServer& b : backs) weights.push_back(b.weight);
  return weights;
}

/// What a failed connect or read says, in the words of the health line.
const char* FailureOf(int error) {
  switch (error) {
    case ECONNREFUSED:
      return "refused";
    case ETIMEDOUT:
      return "timeout";
    case EHOSTUNREACH:
    case ENETUNREACH:
      return "unreachable";
    case ECONNRESET:
      return "reset";
    default:
      return "cannot connect";
  }
}

}  // namespace

BackServers::BackServers(const std::vector<BackServer>& backs, std::uint16_t port, std::int64_t intervalMs,
                         int epoll, SessionLog& log)
    : backs_(backs.size()),
      port_(port),
      intervalMs_(intervalMs),
      epoll_(epoll),
      log_(log),
      turns_(WeightsOf(backs)) {
  for (std::size_t i = 0; i < backs.size(); ++i) backs_[i].server = backs[i];
}

void BackServers::Start(Back& b, std::int64_t now) {
  b.got = 0;
  b.deadline = now + kCheckTimeoutMs;
  b.socket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  to.sin_addr.s_addr = b.server.address;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = &b;
  if (!b.socket.valid() ||
      (::connect(b.socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) ||
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, b.socket.get(), &ev) != 0) {
    // A check that failed at once: the caller judges the back.
    const int error = errno;
    b.socket.Reset();
    b.failure = FailureOf(error);
    b.answered = false;
    b.nextCheck = now + intervalMs_;
    return;
  }
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(b.socket.get(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    b.localAddress = local.sin_addr.s_addr;
    b.localPort = ntohs(local.sin_port);
  }
}

bool BackServers::IsOwnCheck(session::Ipv4Address address, std::uint16_t port) {
  for (Back& b : backs_) {
    if (b.socket.valid() && b.localPort == port && b.localAddress == address) {
      b.itself = true;
      return true;
    }
  }
  return false;
}

void BackServers::OnEvent(void* tag, const Snapshot& front, std::int64_t now) {
  Back& b = *static_cast<Back*>(tag);
  if (!b.socket.valid()) return;
  const ssize_t n = ::recv(b.socket.get(), b.reply + b.got, sizeof b.reply - b.got, 0);
  if (n > 0) {
    b.got = static_cast<std::uint8_t>(b.got + n);
    if (b.got == sizeof b.reply) Done(b, nullptr, front, now);
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  Done(b, n == 0 ? "closed before its version reply" : FailureOf(errno), front, now);
}

void BackServers::Done(Back& b, const char* failure, const Snapshot& front, std::int64_t now) {
  // Closing the socket also takes it out of the epoll set.
  b.socket.Reset();
  b.nextCheck = now + intervalMs_;
  b.answered = failure == nullptr;
  if (b.answered) {
    b.last = session::DecodeVersionReply(b.reply);
  } else {
    b.failure = failure;
  }
  Judge(b, front);
}

void BackServers::Judge(Back& b, const Snapshot& front) {
  const session::VersionReply own = MakeVersionReply(front, 0);
  const bool up = b.answered && !b.itself && b.last.redirect == 0 && b.last.major == own.major &&
                  b.last.minor == own.minor && b.last.noticeTime == own.noticeTime;
  if (b.judged && up == b.up) return;
  const std::string where = session::Ipv4ToText(b.server.address) + ":" + std::to_string(port_);
  b.judged = true;
  b.up = up;
  turns_.Reset();
  if (up) {
    log_.Line("back %s serving %u %u stamp %d: up", where.c_str(), b.last.major, b.last.minor,
              b.last.noticeTime);
  } else if (b.itself) {
    log_.Line("back %s: down (this server itself)", where.c_str());
  } else if (!b.answered) {
    log_.Line("back %s: down (%s)", where.c_str(), b.failure);
  } else if (b.last.redirect != 0) {
    log_.Line("back %s: down (redirects to %s)", where.c_str(), session::Ipv4ToText(b.last.redirect).c_str());
  } else {
    log_.Line("back %s: down (serves %u %u stamp %d, not %u %u stamp %d)", where.c_str(), b.last.major,
              b.last.minor, b.last.noticeTime, own.major, own.minor, own.noticeTime);
  }
}

void BackServers::Turn(const Snapshot& front, std::int64_t now) {
  for (Back& b : backs_) {
    if (b.socket.valid()) {
      if (now >= b.deadline) Done(b, "timeout", front, now);
    } else if (now >= b.nextCheck) {
      Start(b, now);
      if (!b.socket.valid()) Judge(b, front);
    }
  }
}

void BackServers::FrontChanged(const Snapshot& front, std::int64_t now) {
  for (Back& b : backs_) {
    Judge(b, front);
    if (!b.socket.valid()) b.nextCheck = now;
  }
}

std::int64_t BackServers::DueAt() const {
  std::int64_t due = std::numeric_limits<std::int64_t>::max();
  for (const Back& b : backs_) due = std::min(due, b.socket.valid() ? b.deadline : b.nextCheck);
  return due;
}

session::Ipv4Address BackServers::Choose() {
  const int i = turns_.Next([&](std::size_t k) { return backs_[k].up; });
  if (i < 0) return 0;
  ++backs_[i].handedOut;
  return backs_[i].server.address;
}

}  // namespace server
