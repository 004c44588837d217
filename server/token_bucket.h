#pragma once
// A byte rate held as a token bucket: tokens (bytes that may go out) come in
// at the rate, and the bucket holds at most a quarter second's worth, so no
// more than that ever leaves ahead of the rate after a pause. A session keeps
// only its bucket's level; the rate is the loop's, the same for every session.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace server {

struct ByteRate {
  double perSecond = 0;
  double burst = 0;  ///< most tokens a bucket holds

  static ByteRate Of(std::uint64_t bytesPerSecond) {
    const double rate = static_cast<double>(bytesPerSecond);
    return {rate, std::max(1.0, rate / 4)};
  }
};

struct TokenBucket {
  /// Nanoseconds of a second.
  static constexpr double kSecond = 1e9;

  double tokens = 0;    ///< below 0 when bytes went out unasked (a version reply)
  std::int64_t at = 0;  ///< when TOKENS was true, nanoseconds of the loop's clock

  /// An empty bucket from NOW.
  static TokenBucket Empty(std::int64_t now) { return {0, now}; }

  void Refill(const ByteRate& rate, std::int64_t now) {
    if (now <= at) return;
    tokens = std::min(rate.burst, tokens + rate.perSecond * static_cast<double>(now - at) / kSecond);
    at = now;
  }
  /// Whole bytes that may go out now (after Refill).
  std::uint64_t Whole() const { return tokens < 1 ? 0 : static_cast<std::uint64_t>(tokens + 1e-6); }
  void Take(std::uint64_t bytes) { tokens -= static_cast<double>(bytes); }
  /// When the bucket holds N tokens (at most the burst), never before NOW + 1.
  std::int64_t WhenHolds(const ByteRate& rate, double n, std::int64_t now) const {
    const double wait = std::max(0.0, std::min(n, rate.burst) - tokens) / rate.perSecond * kSecond;
    return std::max(now + 1, at + static_cast<std::int64_t>(std::ceil(wait)));
  }
};

}  // namespace server
