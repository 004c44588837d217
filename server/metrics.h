#pragma once
// What the server counts for monitoring, the text a scraper reads (the
// Prometheus text exposition format, version 0.0.4) and the small HTTP
// listener that answers `GET /metrics` on the serving loop. The listener
// never blocks the loop: it reads a request of bounded size, writes without
// blocking, and drops a scraper that has not finished within its deadline.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fd.h"
#include "server/session_ending.h"
#include "session/wire.h"

namespace server {

struct Snapshot;

/// Session durations in buckets of seconds.
class DurationHistogram {
 public:
  static constexpr std::array<double, 14> kBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                     1,     2.5,  5,     10,   30,  60,   300};
  void Observe(std::int64_t ms);
  /// Sessions observed at or below kBounds[i] (cumulative).
  std::uint64_t AtOrBelow(std::size_t i) const;
  std::uint64_t count() const { return count_; }
  double sumSeconds() const { return static_cast<double>(sumMs_) / 1000; }

 private:
  std::array<std::uint64_t, kBounds.size()> buckets_{};  // not cumulative
  std::uint64_t count_ = 0;
  std::int64_t sumMs_ = 0;
};

/// Everything one scrape shows.
struct MetricsView {
  struct Back {
    session::Ipv4Address address = 0;
    bool up = false;
    std::uint64_t handedOut = 0;
  };
  std::array<std::uint64_t, kEndings> endings{};
  std::uint64_t bytesSent = 0;
  std::size_t inProgress = 0;
  const DurationHistogram* durations = nullptr;
  std::vector<Back> backs;
  const Snapshot* store = nullptr;
};

/// The outcome label a session that ended as ENDING is counted under.
const char* OutcomeLabel(Ending ending);
/// The exposition text of VIEW.
std::string MetricsText(const MetricsView& view);

/// The HTTP listener for scrapers, on the serving loop's epoll set.
class MetricsServer {
 public:
  /// Most scrapers at once; more are closed at once.
  static constexpr std::size_t kScrapers = 4;
  /// A scraper has this long from its connection to the end of the answer.
  static constexpr std::int64_t kDeadlineMs = 3000;
  static constexpr std::size_t kRequestBytes = 2048;

  /// Listens on ADDRESS:PORT (0: any free port) and watches through EPOLL;
  /// throws ServerError.
  MetricsServer(session::Ipv4Address address, std::uint16_t port, int epoll);
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  std::uint16_t port() const { return port_; }
  /// Whether TAG in the epoll set is the listener's or a scraper's.
  bool Owns(const void* tag) const {
    return tag == this || (tag >= static_cast<const void*>(scrapers_.data()) &&
                           tag < static_cast<const void*>(scrapers_.data() + scrapers_.size()));
  }
  /// Handles EVENTS on TAG; TEXT makes the body of an answer.
  void OnEvent(void* tag, std::uint32_t events, std::int64_t now, const std::function<std::string()>& text);
  /// Drops the scrapers past their deadline.
  void Expire(std::int64_t now);
  std::int64_t DueAt() const;

 private:
  struct Scraper {
    Fd socket;
    std::int64_t deadline = 0;
    std::size_t got = 0;
    char request[kRequestBytes];
    std::string answer;  ///< empty while the request is read
    std::size_t sent = 0;
  };
  void Accept(std::int64_t now);
  /// Reads; answers once the request is whole.
  void Read(Scraper& s, const std::function<std::string()>& text);
  void Answer(Scraper& s, int status, const std::string& body);
  /// Sends what is left; closes when done or when the connection failed.
  void Write(Scraper& s);
  void Close(Scraper& s) { s.socket.Reset(); }

  Fd listen_;
  std::uint16_t port_ = 0;
  int epoll_;
  std::array<Scraper, kScrapers> scrapers_;
};

}  // namespace server
