#pragma once
// The back servers a front hands its updaters to. The front checks each one
// itself on its own event loop: a non-blocking connect to the back's port and
// a read of its version reply, every check interval, with a deadline. A back
// qualifies only while its last check answered with the front's own state
// (both version counters and the notice stamp) and no redirect of its own; it
// never does before its first answer. The backs that qualify are handed out
// in proportion to their weights and spread evenly (smooth weighted round
// robin), and each change of a back's health is one log line.

#include <cstdint>
#include <vector>

#include "fd.h"
#include "server/update_server.h"
#include "session/wire.h"

namespace server {

struct Snapshot;
class SessionLog;

/// Turns over weighted entries so that over any run of turns each entry's
/// share differs from its weight's share by less than one turn.
class WeightedTurns {
 public:
  explicit WeightedTurns(std::vector<unsigned> weights)
      : weights_(std::move(weights)), current_(weights_.size(), 0) {}

  /// The next entry among those ELIGIBLE(i) says yes to; -1 when none.
  template <typename Eligible>
  int Next(Eligible eligible) {
    std::int64_t total = 0;
    int best = -1;
    for (std::size_t i = 0; i < weights_.size(); ++i) {
      if (!eligible(i)) continue;
      total += weights_[i];
      current_[i] += weights_[i];
      if (best < 0 || current_[i] > current_[best]) best = static_cast<int>(i);
    }
    if (best >= 0) current_[best] -= total;
    return best;
  }
  /// Starts afresh (the eligible entries changed).
  void Reset() { std::fill(current_.begin(), current_.end(), 0); }

 private:
  std::vector<unsigned> weights_;
  std::vector<std::int64_t> current_;
};

class BackServers {
 public:
  /// A check's reply must arrive within this time of its start.
  static constexpr std::int64_t kCheckTimeoutMs = 2000;

  struct Back {
    BackServer server;
    Fd socket;                   ///< the check in flight, if any
    std::int64_t nextCheck = 0;  ///< when the next check starts (none in flight)
    std::int64_t deadline = 0;   ///< when the check in flight fails
    std::uint8_t got = 0;
    std::uint8_t reply[session::kVersionReplySize] = {};
    bool answered = false;  ///< its last check read a whole reply
    session::VersionReply last;
    const char* failure = "not checked yet";
    session::Ipv4Address localAddress = 0;  ///< of the check in flight
    std::uint16_t localPort = 0;
    bool itself = false;  ///< a check of it reached this very server
    bool judged = false;  ///< its health was said once
    bool up = false;
    std::uint64_t handedOut = 0;  ///< updaters sent to it
  };

  /// Checks BACKS on PORT every INTERVALMS through the loop's EPOLL set.
  BackServers(const std::vector<BackServer>& backs, std::uint16_t port, std::int64_t intervalMs, int epoll,
              SessionLog& log);
  BackServers(const BackServers&) = delete;
  BackServers& operator=(const BackServers&) = delete;

  /// Whether TAG in the epoll set is one of the checks.
  bool Owns(const void* tag) const {
    return tag >= static_cast<const void*>(backs_.data()) &&
           tag < static_cast<const void*>(backs_.data() + backs_.size());
  }
  /// The check tagged TAG is readable or failed.
  void OnEvent(void* tag, const Snapshot& front, std::int64_t now);
  /// Starts the checks that are due and fails those past their deadline.
  void Turn(const Snapshot& front, std::int64_t now);
  /// The front serves a new state: every back is judged against it and checked at once.
  void FrontChanged(const Snapshot& front, std::int64_t now);
  /// When Turn has something to do.
  std::int64_t DueAt() const;
  /// Whether a session from ADDRESS:PORT is one of this server's own checks:
  /// that back is this server itself (an address of its own machine), which
  /// it must never hand out.
  bool IsOwnCheck(session::Ipv4Address address, std::uint16_t port);
  /// The back to send the next updater to; 0 when none qualifies.
  session::Ipv4Address Choose();

  const std::vector<Back>& backs() const { return backs_; }

 private:
  void Start(Back& b, std::int64_t now);
  /// Ends the check in flight: answered or FAILURE; judges the back.
  void Done(Back& b, const char* failure, const Snapshot& front, std::int64_t now);
  void Judge(Back& b, const Snapshot& front);

  std::vector<Back> backs_;
  std::uint16_t port_;
  std::int64_t intervalMs_;
  int epoll_;
  SessionLog& log_;
  WeightedTurns turns_;
};

}  // namespace server
