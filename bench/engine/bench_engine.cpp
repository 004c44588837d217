// Whole-file gzip decompression: the engine against zlib and libdeflate.
//
// Input: SIZE_MB of mixed text-like and binary-like data (testdata's
// mixed_data) compressed by zlib at levels 1, 6 and 9, kept in bench/data/.
// Jobs, each a child process on the same file, interleaved round by round:
//   engine      the decompress tool, in place on a fresh copy (made before
//               the clock starts): streaming, fixed memory
//   baseline    the same with another build of the tool (BENCH_BASELINE_TOOL),
//               to compare two revisions in one run
//   windows     the Windows build of the tool (BENCH_WINDOWS_TOOL, a
//               decompress.exe) under `wine`, with "wine start", the same
//               program on a name it skips, for Wine's cost of starting a
//               process (keep a wineserver running: `wineserver -p`)
//   zlib        inflate with 32 KiB reads and writes, CRC and length checked
//   libdeflate  the whole-file job written with the library: read the file,
//               decompress into one buffer, write the output
// For each input it prints the best and median wall times, the best
// processor times, and the engine's time as a multiple of each peer's;
// budget: engine <= 1.0 x libdeflate at every level. Finally the peak memory
// of the decompress tool on the level-6 file.
//
// usage: bench_engine [size_MB=100] [rounds=5]
//        (env BENCH_WORK_DIR: where the runs happen; BENCH_BASELINE_TOOL;
//         BENCH_WINDOWS_TOOL)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifdef HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "bench_jobs.h"
#include "testdata/deflate_data.h"

namespace fs = std::filesystem;

namespace {

// ---- the peers, each run as `bench_engine --job NAME IN OUT` -----------------

bool read_exactly(int fd, void* data, std::size_t n) {
  auto* p = static_cast<unsigned char*>(data);
  while (n > 0) {
    ssize_t got = ::read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= std::size_t(got);
  }
  return true;
}

bool write_exactly(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    ssize_t done = ::write(fd, p, n);
    if (done <= 0) return false;
    p += done;
    n -= std::size_t(done);
  }
  return true;
}

int zlib_job(const char* in_name, const char* out_name) {
  int in = ::open(in_name, O_RDONLY);
  int out = ::open(out_name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0) return 1;
  static unsigned char ibuf[32768], obuf[32768];
  z_stream zs{};
  inflateInit2(&zs, 16 + 15);
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      ssize_t n = ::read(in, ibuf, sizeof ibuf);
      if (n <= 0) break;
      zs.next_in = ibuf;
      zs.avail_in = uInt(n);
    }
    zs.next_out = obuf;
    zs.avail_out = sizeof obuf;
    ret = inflate(&zs, Z_NO_FLUSH);
    if (ret != Z_OK && ret != Z_STREAM_END) break;
    if (!write_exactly(out, obuf, sizeof obuf - zs.avail_out)) ret = Z_ERRNO;
  }
  inflateEnd(&zs);
  ::close(in);
  return ::close(out) == 0 && ret == Z_STREAM_END ? 0 : 1;  // zlib checks CRC and length
}

#ifdef HAVE_LIBDEFLATE
int libdeflate_job(const char* in_name, const char* out_name) {
  int in = ::open(in_name, O_RDONLY);
  struct stat st {};
  if (in < 0 || ::fstat(in, &st) != 0 || st.st_size < 18) return 1;
  const std::size_t in_size = std::size_t(st.st_size);
  std::unique_ptr<unsigned char[]> input(new unsigned char[in_size]);
  if (!read_exactly(in, input.get(), in_size)) return 1;
  ::close(in);
  std::uint32_t out_size;
  std::memcpy(&out_size, input.get() + in_size - 4, 4);
  std::unique_ptr<unsigned char[]> output(new unsigned char[out_size]);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::size_t actual = 0;
  if (libdeflate_gzip_decompress(d, input.get(), in_size, output.get(), out_size, &actual) !=
      LIBDEFLATE_SUCCESS)
    return 1;
  libdeflate_free_decompressor(d);
  int out = ::open(out_name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || !write_exactly(out, output.get(), actual)) return 1;
  return ::close(out) == 0 ? 0 : 1;
}
#endif

/// Runs TOOL NAME and writes its peak resident set (KiB) to peak.txt. Run as
/// a child of its own, so that the tool's figure is not the peak of a large
/// parent process (a spawned child starts out sharing its parent's memory).
int peak_job(const char* tool, const char* name) {
  bench::Run r = bench::run_child({tool, name}, fs::current_path());
  std::ofstream("peak.txt") << r.peak_kib << "\n";
  return r.ok ? 0 : 1;
}

// ---- the benchmark -------------------------------------------------------------

/// The CRC-32 recorded in the trailer of a single-member gzip file.
std::uint32_t trailer_crc(const fs::path& gz) {
  std::ifstream in(gz, std::ios::binary);
  in.seekg(-8, std::ios::end);
  unsigned char t[4] = {};
  in.read(reinterpret_cast<char*>(t), 4);
  return std::uint32_t(t[0]) | std::uint32_t(t[1]) << 8 | std::uint32_t(t[2]) << 16 |
         std::uint32_t(t[3]) << 24;
}

std::uint32_t file_crc(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> buf(1 << 20);
  uLong crc = crc32(0, nullptr, 0);
  while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0)
    crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), uInt(in.gcount()));
  return std::uint32_t(crc);
}

void make_gzip(const fs::path& p, const std::string& data, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = uInt(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = uInt(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) {
    std::fprintf(stderr, "deflate failed\n");
    std::exit(1);
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  std::ofstream(p, std::ios::binary).write(out.data(), std::streamsize(out.size()));
}

struct Job {
  std::string label;
  std::vector<std::string> argv;  // {} for a peer not built in
  std::string output;             // the file a run leaves in the work directory ("": none)
  bool in_place = false;          // runs on a fresh copy named engine.gz
  bench::Samples samples;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--job") == 0) {
    if (std::strcmp(argv[2], "zlib") == 0) return zlib_job(argv[3], argv[4]);
#ifdef HAVE_LIBDEFLATE
    if (std::strcmp(argv[2], "libdeflate") == 0) return libdeflate_job(argv[3], argv[4]);
#endif
    if (std::strcmp(argv[2], "peak") == 0) return peak_job(argv[3], argv[4]);
    return 2;
  }
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const fs::path data_dir = BENCH_DATA_DIR;
  fs::create_directories(data_dir);
  const char* work_env = std::getenv("BENCH_WORK_DIR");
  const fs::path work = work_env ? fs::path(work_env) : data_dir / "work";
  fs::create_directories(work);
  const std::string self = fs::canonical("/proc/self/exe").string();
  const char* baseline = std::getenv("BENCH_BASELINE_TOOL");
  const char* windows = std::getenv("BENCH_WINDOWS_TOOL");

  const int levels[] = {1, 6, 9};
  std::vector<fs::path> files;
  {
    std::string raw;
    for (int level : levels) {
      fs::path gz = data_dir / ("mixed-" + std::to_string(megabytes) + "MB-l" +
                                std::to_string(level) + ".gz");
      if (!fs::exists(gz)) {
        if (raw.empty()) raw = testdata::mixed_data(megabytes << 20);
        std::fprintf(stderr, "making %s\n", gz.c_str());
        make_gzip(gz, raw, level);
      }
      files.push_back(gz);
    }
  }

  std::printf("%zu MB of output per file, %d rounds, jobs interleaved\n\n", megabytes, rounds);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path& gz = files[i];
    std::vector<Job> jobs;
    jobs.push_back({"engine", {fs::absolute(DECOMPRESS_TOOL).string(), "engine.gz"}, "engine", true, {}});
    if (baseline) jobs.push_back({"baseline", {baseline, "engine.gz"}, "engine", true, {}});
    if (windows) {
      jobs.push_back({"windows", {"wine", windows, "engine.gz"}, "engine", true, {}});
      // A name without a suffix: the tool starts, looks and ends with 0.
      std::ofstream(work / "start") << "x";
      jobs.push_back({"wine start", {"wine", windows, "start"}, "", false, {}});
    }
    jobs.push_back({"zlib", {self, "--job", "zlib", gz.string(), "zlib.out"}, "zlib.out", false, {}});
#ifdef HAVE_LIBDEFLATE
    jobs.push_back({"libdeflate", {self, "--job", "libdeflate", gz.string(), "ldf.out"}, "ldf.out", false, {}});
#endif
    const std::uint32_t expected_crc = trailer_crc(gz);
    for (int round = 0; round < rounds; ++round) {
      for (Job& job : jobs) {
        if (job.in_place) fs::copy_file(gz, work / "engine.gz", fs::copy_options::overwrite_existing);
        bench::Run r = bench::run_child(job.argv, work);
        if (!r.ok || (round == 0 && !job.output.empty() && file_crc(work / job.output) != expected_crc)) {
          std::fprintf(stderr, "%s failed on %s\n", job.label.c_str(), gz.c_str());
          return 1;
        }
        if (!job.output.empty()) fs::remove(work / job.output);
        job.samples.add(r);
      }
    }
    const double out_mb = double(megabytes << 20) / 1e6;
    std::printf("mixed, level %d: %.1f MB in\n", levels[i], double(fs::file_size(gz)) / 1e6);
    std::printf("  %-10s %8s %8s %8s %8s\n", "job", "best s", "median s", "cpu s", "MB/s");
    for (const Job& job : jobs) {
      const auto& s = job.samples;
      std::printf("  %-10s %8.3f %8.3f %8.3f %8.0f\n", job.label.c_str(), bench::best(s.wall),
                  bench::median(s.wall), bench::best(s.cpu), out_mb / bench::best(s.wall));
    }
    for (const Job& job : jobs) {
      if (job.in_place) {
        for (const Job& peer : jobs) {
          if (!peer.in_place && !peer.output.empty())
            std::printf("  %s / %s: %s\n", job.label.c_str(), peer.label.c_str(),
                        bench::ratios(job.samples, peer.samples).c_str());
        }
      }
    }
    if (windows) {
      // jobs: engine, [baseline], windows, wine start, ...
      const Job& engine = jobs[0];
      const Job& win = jobs[baseline ? 2 : 1];
      const Job& start = jobs[baseline ? 3 : 2];
      std::printf("  windows / engine: %s\n", bench::ratios(win.samples, engine.samples).c_str());
      std::printf("  windows less wine start / engine: %.2f best, %.2f median\n",
                  (bench::best(win.samples.wall) - bench::best(start.samples.wall)) /
                      bench::best(engine.samples.wall),
                  (bench::median(win.samples.wall) - bench::median(start.samples.wall)) /
                      bench::median(engine.samples.wall));
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  fs::copy_file(files[1], work / "peak.gz", fs::copy_options::overwrite_existing);
  bench::run_child({self, "--job", "peak", fs::absolute(DECOMPRESS_TOOL).string(), "peak.gz"}, work);
  std::ifstream peak(work / "peak.txt");
  long kib = -1;
  peak >> kib;
  std::printf("peak memory of `decompress` on the level-6 file: %ld KiB (max RSS)\n", kib);
  fs::remove_all(work);
  return 0;
}
