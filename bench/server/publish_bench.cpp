// Publishing benchmark: a release of mixed text-like and binary-like files
// published into a fresh store (libdeflate at level 12, one thread per
// processor and one thread), against zlib at level 9 (gzip wrapper,
// default memory level) compressing the same files in the same run, and
// the same publish signed (--sign: the state's manifest hashed and signed).
//
//   bench_server_publish [megabytes=100] [rounds=1]

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/publish.h"
#include "trust/keys.h"
#include "testdata/deflate_data.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

/// About MEGABYTES of files of 0.25 to 8 MB, alternately text-like and
/// binary-like, in a few folders. Returns their total size.
std::uint64_t MakeRelease(const fs::path& dir, std::size_t megabytes) {
  std::mt19937 rng(12345);
  const std::uint64_t total = static_cast<std::uint64_t>(megabytes) << 20;
  std::uint64_t made = 0;
  const char* folders[] = {"", "data/", "data/maps/", "sound/"};
  for (int i = 0; made < total; ++i) {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(total - made, (std::uint64_t{1} << 18) << (rng() % 6)));
    std::string data;
    data.reserve(size);
    if (i % 2 == 0)
      testdata::append_text(data, size, rng);
    else
      testdata::append_binary(data, size, rng);
    const fs::path path =
        dir / (std::string(folders[i % 4]) + "file" + std::to_string(i) + (i % 2 ? ".dat" : ".txt"));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    made += size;
  }
  return made;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

/// Compresses every file below DIR with zlib level 9 into gzip streams held
/// in memory (one at a time); returns the total compressed size.
std::uint64_t ZlibBest(const fs::path& dir) {
  std::uint64_t total = 0;
  std::vector<unsigned char> out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string data = ReadFile(entry.path());
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::exit(1);
    out.resize(deflateBound(&z, data.size()));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::exit(1);
    total += z.total_out;
    deflateEnd(&z);
  }
  return total;
}

std::uint64_t StoredBytes(const server::PublishResult& r) { return r.release->GzipTotal(); }

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 100;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  char pattern[] = "/tmp/bench-publish-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  const std::uint64_t original = MakeRelease(dir / "release", megabytes);
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir / "release")) files += e.is_regular_file();

  struct Row {
    const char* name;
    std::vector<double> seconds;
    std::uint64_t bytes = 0;
    std::vector<double> commitSeconds;
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  Row rows[4] = {{"update-server publish, libdeflate 12, all cores", {}, 0, {}},
                 {"update-server publish, libdeflate 12, 1 thread", {}, 0, {}},
                 {"zlib 9, 1 thread (compression only, in memory)", {}, 0, {}},
                 {"update-server publish --sign, libdeflate 12, all cores", {}, 0, {}}};
  const auto key = std::make_shared<trust::SecretKey>(trust::GenerateKeyPair().secretKey);
  for (int round = 0; round < rounds; ++round) {
    for (int which = 0; which < 4; ++which) {
      const auto start = Clock::now();
      if (which != 2) {
        server::PublishOptions options;
        options.jobs = which == 1 ? 1 : 0;
        if (which == 3) options.signing.key = key;
        // From the placed release to the written CURRENT.new: the signing
        // when signed, otherwise the state file alone.
        Clock::time_point placed;
        options.onStep = [&](server::PublishStep step) {
          if (step == server::PublishStep::ReleasePlaced) placed = Clock::now();
          if (step == server::PublishStep::StateWritten) {
            rows[which].commitSeconds.push_back(std::chrono::duration<double>(Clock::now() - placed).count());
          }
        };
        const fs::path store = dir / ("store" + std::to_string(round) + "-" + std::to_string(which));
        rows[which].bytes =
            StoredBytes(server::Publish(store.string(), 0, (dir / "release").string(), options));
      } else {
        rows[which].bytes = ZlibBest(dir / "release");
      }
      rows[which].seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
  }
  std::printf("publishing %.1f MB in %zu files (text-like and binary-like), %u processor(s), %d round(s)\n\n",
              original / 1e6, files, cores, rounds);
  std::printf("| compressor | best s | MB/s | compressed bytes | of original |\n|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    const double best = *std::min_element(r.seconds.begin(), r.seconds.end());
    std::printf("| %s | %.2f | %.1f | %llu | %.2f%% |\n", r.name, best, original / 1e6 / best,
                static_cast<unsigned long long>(r.bytes), 100.0 * r.bytes / original);
  }
  const double plain = *std::min_element(rows[0].seconds.begin(), rows[0].seconds.end());
  const double signedBest = *std::min_element(rows[3].seconds.begin(), rows[3].seconds.end());
  const double commitPlain = *std::min_element(rows[0].commitSeconds.begin(), rows[0].commitSeconds.end());
  const double commitSigned = *std::min_element(rows[3].commitSeconds.begin(), rows[3].commitSeconds.end());
  std::printf(
      "\n--sign: whole publish %.2f s against %.2f s (%.3f x); placed release to written state %.3f s\n"
      "against %.3f s unsigned: signing adds %.3f s (%.0f MB/s of content)\n",
      signedBest, plain, signedBest / plain, commitSigned, commitPlain, commitSigned - commitPlain,
      original / 1e6 / (commitSigned - commitPlain));
  std::printf("libdeflate 12 / zlib 9 size: %.4f (%lld bytes smaller)\n",
              static_cast<double>(rows[0].bytes) / rows[2].bytes,
              static_cast<long long>(rows[2].bytes) - static_cast<long long>(rows[0].bytes));
  fs::remove_all(dir);
  return 0;
}
