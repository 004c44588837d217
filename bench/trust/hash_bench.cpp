// What hashing a download as it arrives costs: BLAKE2b-256 (trust::Hasher)
// fed in the session's 2,048-byte receive pieces, beside zlib's CRC-32 over
// the same pieces (the check every gzip stream already gets when installed)
// and a plain copy of each piece (the least any receive loop does). Prints
// each throughput and the ratios of the times, from the same run.
//
//   hash_bench [megabytes=100] [rounds=5]

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "trust/hash.h"

namespace {

constexpr std::size_t kPiece = 2048;

template <typename Job>
double BestSeconds(int rounds, Job job) {
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    job();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<unsigned char> data(megabytes << 20);
  std::uint32_t x = 12345;
  for (auto& byte : data) byte = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);

  volatile unsigned sink = 0;
  unsigned char piece[kPiece];
  const double copy = BestSeconds(rounds, [&] {
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
      std::memcpy(piece, &data[at], std::min(kPiece, data.size() - at));
      sink = sink + piece[0];
    }
  });
  const double crc = BestSeconds(rounds, [&] {
    uLong value = crc32(0, nullptr, 0);
    for (std::size_t at = 0; at < data.size(); at += kPiece)
      value = crc32(value, &data[at], static_cast<uInt>(std::min(kPiece, data.size() - at)));
    sink = sink + static_cast<unsigned>(value);
  });
  const double blake = BestSeconds(rounds, [&] {
    trust::Hasher hasher;
    for (std::size_t at = 0; at < data.size(); at += kPiece)
      hasher.Update(&data[at], std::min(kPiece, data.size() - at));
    sink = sink + hasher.Final()[0];
  });

  const double mb = static_cast<double>(megabytes);
  std::printf("%zu MB in %zu-byte pieces, best of %d rounds\n", megabytes, kPiece, rounds);
  std::printf("  copy           %8.0f MB/s\n", mb / copy);
  std::printf("  zlib crc32     %8.0f MB/s\n", mb / crc);
  std::printf("  BLAKE2b-256    %8.0f MB/s\n", mb / blake);
  std::printf("  BLAKE2b-256 / crc32 time: %.2f x\n", blake / crc);
  std::printf("  BLAKE2b-256 time per MB: %.2f ms\n", 1000 * blake / mb);
  return 0;
}
