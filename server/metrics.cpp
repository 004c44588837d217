#include "metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "server/release_store.h"
#include "server/update_server.h"

namespace server {

void DurationHistogram::Observe(std::int64_t ms) {
  const double seconds = static_cast<double>(ms) / 1000;
  const auto at = std::lower_bound(kBounds.begin(), kBounds.end(), seconds);
  if (at != kBounds.end()) ++buckets_[at - kBounds.begin()];
  ++count_;
  sumMs_ += ms;
}

std::uint64_t DurationHistogram::AtOrBelow(std::size_t i) const {
  std::uint64_t n = 0;
  for (std::size_t k = 0; k <= i; ++k) n += buckets_[k];
  return n;
}

const char* OutcomeLabel(Ending ending) {
  switch (ending) {
    case Ending::Completed:
      return "completed";
    case Ending::NoRequest:
      return "closed_after_reply";
    case Ending::IdleTimeout:
    case Ending::Stalled:
    case Ending::Displaced:
      return "dropped_idle";
    case Ending::BadRequest:
    case Ending::ExtraData:
    case Ending::AddressFull:
      return "refused_request";
    case Ending::ClosedEarly:
      return "closed_early";
    case Ending::NetworkError:
      return "network_error";
    case Ending::StoreError:
      return "store_error";
    case Ending::Stopped:
      return "stopped";
  }
  return "other";
}

namespace {

constexpr const char* kPrefix = "update_server_";

void Head(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += kPrefix;
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += kPrefix;
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, double value) {
  char number[48];
  std::snprintf(number, sizeof number, "%.17g", value);
  out += kPrefix;
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += number;
  out += '\n';
}

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + value + "\"";
}

}  // namespace

std::string MetricsText(const MetricsView& v) {
  std::string out;
  out.reserve(4096);
  Head(out, "sessions_total", "counter", "Sessions ended, by outcome.");
  std::array<std::uint64_t, kEndings> byOutcome{};
  std::vector<const char*> outcomes;
  for (int e = 0; e < kEndings; ++e) {
    const char* label = OutcomeLabel(static_cast<Ending>(e));
    auto at = std::find_if(outcomes.begin(), outcomes.end(),
                           [&](const char* o) { return std::strcmp(o, label) == 0; });
    if (at == outcomes.end()) at = outcomes.insert(outcomes.end(), label);
    byOutcome[at - outcomes.begin()] += v.endings[e];
  }
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    Sample(out, "sessions_total", Label("outcome", outcomes[i]), static_cast<double>(byOutcome[i]));
  }
  Head(out, "sent_bytes_total", "counter", "Bytes sent to updaters.");
  Sample(out, "sent_bytes_total", {}, static_cast<double>(v.bytesSent));
  Head(out, "sessions_in_progress", "gauge", "Sessions open now.");
  Sample(out, "sessions_in_progress", {}, static_cast<double>(v.inProgress));

  if (v.durations != nullptr) {
    const DurationHistogram& h = *v.durations;
    Head(out, "session_duration_seconds", "histogram", "How long sessions lasted, from connection to end.");
    for (std::size_t i = 0; i < DurationHistogram::kBounds.size(); ++i) {
      char bound[32];
      std::snprintf(bound, sizeof bound, "%g", DurationHistogram::kBounds[i]);
      Sample(out, "session_duration_seconds_bucket", Label("le", bound), static_cast<double>(h.AtOrBelow(i)));
    }
    Sample(out, "session_duration_seconds_bucket", Label("le", "+Inf"), static_cast<double>(h.count()));
    Sample(out, "session_duration_seconds_sum", {}, h.sumSeconds());
    Sample(out, "session_duration_seconds_count", {}, static_cast<double>(h.count()));
  }

  if (!v.backs.empty()) {
    Head(out, "redirects_total", "counter", "Updaters sent to each back server.");
    for (const auto& b : v.backs) {
      Sample(out, "redirects_total", Label("back", session::Ipv4ToText(b.address)),
             static_cast<double>(b.handedOut));
    }
    Head(out, "back_up", "gauge", "1 while a back server answers with this server's state, else 0.");
    for (const auto& b : v.backs) {
      Sample(out, "back_up", Label("back", session::Ipv4ToText(b.address)), b.up ? 1 : 0);
    }
  }

  if (v.store != nullptr) {
    const Snapshot& s = *v.store;
    Head(out, "store_version", "gauge", "The version counter of each kind in the state served.");
    Sample(out, "store_version", Label("kind", "major"), s.Counter(0));
    Sample(out, "store_version", Label("kind", "minor"), s.Counter(1));
    Head(out, "notice_stamp_seconds", "gauge", "The notice page's stamp in the state served (0: none).");
    Sample(out, "notice_stamp_seconds", {}, s.notice.stamp);
    std::int64_t published = 0;
    for (const auto& releases : s.releases) {
      if (!releases.empty()) published = std::max(published, releases.back()->publishedAt);
    }
    Head(out, "last_publish_timestamp_seconds", "gauge",
         "When the newest release served was published (0: none).");
    Sample(out, "last_publish_timestamp_seconds", {}, static_cast<double>(published));
  }
  return out;
}

MetricsServer::MetricsServer(session::Ipv4Address address, std::uint16_t port, int epoll) : epoll_(epoll) {
  listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = address;
  socklen_t length = sizeof at;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = this;
  if (!listen_.valid() || ::setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(listen_.get(), 16) != 0 ||
      ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_.get(), &ev) != 0) {
    throw ServerError("cannot listen for metrics on " + session::Ipv4ToText(address) + ":" +
                      std::to_string(port) + ": " + std::strerror(errno));
  }
  port_ = ntohs(at.sin_port);
}

void MetricsServer::OnEvent(void* tag, std::uint32_t events, std::int64_t now,
                            const std::function<std::string()>& text) {
  if (tag == this) {
    Accept(now);
    return;
  }
  Scraper& s = *static_cast<Scraper*>(tag);
  if (!s.socket.valid()) return;
  if (s.answer.empty()) {
    Read(s, text);
  } else if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
    Write(s);
  }
}

void MetricsServer::Accept(std::int64_t now) {
  for (;;) {
    Fd socket(::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket.valid()) return;
    const auto free =
        std::find_if(scrapers_.begin(), scrapers_.end(), [](const Scraper& s) { return !s.socket.valid(); });
    // Too many at once: the newcomer is closed and tries again later.
    if (free == scrapers_.end()) continue;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = &*free;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket.get(), &ev) != 0) continue;
    free->socket = std::move(socket);
    free->deadline = now + kDeadlineMs;
    free->got = 0;
    free->answer.clear();
    free->sent = 0;
  }
}

void MetricsServer::Read(Scraper& s, const std::function<std::string()>& text) {
  const ssize_t n = ::recv(s.socket.get(), s.request + s.got, sizeof s.request - s.got, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Close(s);
    return;
  }
  s.got += static_cast<std::size_t>(n);
  const std::string_view request(s.request, s.got);
  std::size_t end = request.find("\r\n\r\n");
  if (end == std::string_view::npos) end = request.find("\n\n");
  if (end == std::string_view::npos) {
    if (s.got == sizeof s.request) Answer(s, 400, "request too long\n");
    return;
  }
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || line.find(' ', space2 + 1) != std::string_view::npos) {
    Answer(s, 400, "bad request\n");
    return;
  }
  const std::string_view method = line.substr(0, space1);
  const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = line.substr(space2 + 1);
  if (version != "HTTP/1.0" && version != "HTTP/1.1") {
    Answer(s, 400, "bad request\n");
  } else if (method != "GET") {
    Answer(s, 405, "only GET\n");
  } else if (target != "/metrics") {
    Answer(s, 404, "only /metrics\n");
  } else {
    Answer(s, 200, text());
  }
}

void MetricsServer::Answer(Scraper& s, int status, const std::string& body) {
  const char* reason = status == 200   ? "OK"
                       : status == 404 ? "Not Found"
                       : status == 405 ? "Method Not Allowed"
                                       : "Bad Request";
  const char* type = status == 200 ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain; charset=utf-8";
  s.answer = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
             (status == 405 ? "Allow: GET\r\n" : "") + "Connection: close\r\n\r\n" + body;
  s.sent = 0;
  Write(s);
}

void MetricsServer::Write(Scraper& s) {
  while (s.sent < s.answer.size()) {
    const ssize_t n = ::send(s.socket.get(), s.answer.data() + s.sent, s.answer.size() - s.sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      epoll_event ev{};
      ev.events = EPOLLOUT;
      ev.data.ptr = &s;
      if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, s.socket.get(), &ev) != 0) Close(s);
      return;
    }
    if (n <= 0) {
      Close(s);
      return;
    }
    s.sent += static_cast<std::size_t>(n);
  }
  ::shutdown(s.socket.get(), SHUT_WR);
  Close(s);
}

void MetricsServer::Expire(std::int64_t now) {
  for (Scraper& s : scrapers_) {
    if (s.socket.valid() && now >= s.deadline) Close(s);
  }
}

std::int64_t MetricsServer::DueAt() const {
  std::int64_t due = std::numeric_limits<std::int64_t>::max();
  for (const Scraper& s : scrapers_) {
    if (s.socket.valid()) due = std::min(due, s.deadline);
  }
  return due;
}

}  // namespace server
