#pragma once
// A byte rate held as a token bucket: tokens (bytes that may go out) come in
// at the rate, and the bucket holds at most a quarter second's worth, so no
// more than that ever leaves ahead of the rate after a pause.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace server {

struct TokenBucket {
  /// Nanoseconds of a second.
  static constexpr double kSecond = 1e9;

  double rate = 0;      ///< bytes per second
  double burst = 0;     ///< most tokens held
  double tokens = 0;    ///< may fall below 0 when bytes went out unasked (a version reply)
  std::int64_t at = 0;  ///< when TOKENS was true, nanoseconds of the loop's clock

  /// An empty bucket for RATE bytes per second from NOW.
  static TokenBucket Empty(std::uint64_t rate, std::int64_t now) {
    TokenBucket b;
    b.rate = static_cast<double>(rate);
    b.burst = std::max(1.0, b.rate / 4);
    b.at = now;
    return b;
  }

  void Refill(std::int64_t now) {
    if (now <= at) return;
    tokens = std::min(burst, tokens + rate * static_cast<double>(now - at) / kSecond);
    at = now;
  }
  /// Whole bytes that may go out now (after Refill).
  std::uint64_t Whole() const { return tokens < 1 ? 0 : static_cast<std::uint64_t>(tokens + 1e-6); }
  void Take(std::uint64_t bytes) { tokens -= static_cast<double>(bytes); }
  /// When the bucket holds N tokens (N at most BURST), never before NOW + 1.
  std::int64_t WhenHolds(double n, std::int64_t now) const {
    const double wait = std::max(0.0, std::min(n, burst) - tokens) / rate * kSecond;
    return std::max(now + 1, at + static_cast<std::int64_t>(std::ceil(wait)));
  }
};

}  // namespace server
