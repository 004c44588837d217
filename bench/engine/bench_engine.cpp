// Whole-file decompression benchmark. Makes 100 MB of mixed text-like and
// binary-like data, compresses it with zlib at levels 1, 6 and 9 into
// bench/data/ (kept for later runs), then decompresses each file to a file:
//   engine      decompress_file (in place: the input is a fresh copy each run)
//   zlib        inflate, 32 KiB reads and writes, gzip CRC and length checked
//   libdeflate  whole file in memory, libdeflate_gzip_decompress, one write
// Each is run REPS times, interleaved; the best time counts. Prints MB/s of
// output and the engine's time as a multiple of each peer's. Finally runs the
// decompress tool once in a child process and reports its peak memory.
//
// usage: bench_engine [size_MB=100] [reps=5]    (env BENCH_WORK_DIR: where outputs go)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifdef HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "engine/decompress.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---- test data --------------------------------------------------------------

/// Text-like: words drawn with a skewed distribution from a vocabulary of
/// made-up words, with punctuation, line breaks and numbers.
void append_text(std::string& out, std::size_t bytes, std::mt19937& rng) {
  static std::vector<std::string> vocabulary;
  if (vocabulary.empty()) {
    std::mt19937 vr(7);
    const char* syllables[] = {"ka", "ri", "mo", "ven", "al", "tor", "is", "e", "un", "sha",
                               "ly", "dra", "o", "th", "er", "qu", "st", "ng", "pa", "zi"};
    for (int i = 0; i < 4000; ++i) {
      std::string w;
      int n = 1 + int(vr() % 4);
      for (int k = 0; k < n; ++k) w += syllables[vr() % 20];
      vocabulary.push_back(w);
    }
  }
  std::size_t end = out.size() + bytes;
  std::exponential_distribution<double> pick(1.0 / 300.0);
  int column = 0;
  while (out.size() < end) {
    std::size_t idx = std::min<std::size_t>(std::size_t(pick(rng)), vocabulary.size() - 1);
    const std::string& w = vocabulary[idx];
    out += w;
    column += int(w.size()) + 1;
    unsigned r = rng() % 100;
    if (r < 6) out += ',';
    else if (r < 10) out += '.';
    else if (r < 11) out += std::to_string(rng() % 100000);
    if (column > 72) {
      out += '\n';
      column = 0;
    } else {
      out += ' ';
    }
  }
  out.resize(end);
}

/// Binary-like: fixed-size records of counters, small integers, floats and
/// some noise, as a game's data files tend to hold.
void append_binary(std::string& out, std::size_t bytes, std::mt19937& rng) {
  std::size_t end = out.size() + bytes;
  std::uint32_t id = std::uint32_t(rng());
  while (out.size() < end) {
    unsigned char rec[48];
    std::uint32_t fields[6] = {id++,
                               std::uint32_t(rng() % 64),
                               std::uint32_t(rng() % 1000),
                               std::uint32_t(0x3F800000u + (rng() % 4096)),
                               std::uint32_t(rng() & 0xFF00FF00u),
                               std::uint32_t(rng())};
    std::memcpy(rec, fields, sizeof fields);
    for (int i = 24; i < 48; ++i) rec[i] = (rng() % 4 == 0) ? std::uint8_t(rng()) : std::uint8_t(i);
    out.append(reinterpret_cast<char*>(rec), sizeof rec);
  }
  out.resize(end);
}

std::string make_mixed(std::size_t total) {
  std::mt19937 rng(12345);
  std::string data;
  data.reserve(total + 64);
  bool text = true;
  while (data.size() < total) {
    std::size_t chunk = std::min<std::size_t>(total - data.size(), (1 + rng() % 4) << 20);
    if (text) append_text(data, chunk, rng);
    else append_binary(data, chunk, rng);
    text = !text;
  }
  return data;
}

void write_whole(const fs::path& p, const void* data, std::size_t n) {
  FILE* f = std::fopen(p.c_str(), "wb");
  if (!f || std::fwrite(data, 1, n, f) != n || std::fclose(f) != 0) {
    std::perror(p.c_str());
    std::exit(1);
  }
}

std::string read_whole(const fs::path& p) {
  std::string s(fs::file_size(p), '\0');
  FILE* f = std::fopen(p.c_str(), "rb");
  if (!f || std::fread(s.data(), 1, s.size(), f) != s.size()) {
    std::perror(p.c_str());
    std::exit(1);
  }
  std::fclose(f);
  return s;
}

/// gzip file of DATA at LEVEL, made with zlib's deflate.
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
  write_whole(p, out.data(), out.size());
}

// ---- the three decoders -----------------------------------------------------

/// The engine removes its input, so each run gets a fresh copy, made before
/// the clock starts.
void prepare_engine_input(const fs::path& gz, const fs::path& work) {
  fs::copy_file(gz, work / "engine.gz", fs::copy_options::overwrite_existing);
}

bool run_engine(const fs::path& work) {
  return engine::decompress_file((work / "engine.gz").c_str()) == 0;
}

bool run_zlib(const fs::path& gz, const fs::path& work) {
  int in = ::open(gz.c_str(), O_RDONLY);
  int out = ::open((work / "zlib.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    std::size_t have = sizeof obuf - zs.avail_out;
    if (have && ::write(out, obuf, have) != ssize_t(have)) ret = Z_ERRNO;
  }
  inflateEnd(&zs);
  ::close(in);
  ::close(out);
  return ret == Z_STREAM_END;  // gzip trailer (CRC-32 and length) checked by zlib
}

#ifdef HAVE_LIBDEFLATE
bool run_libdeflate(const fs::path& gz, const fs::path& work) {
  std::string in = read_whole(gz);
  std::uint32_t isize;
  std::memcpy(&isize, in.data() + in.size() - 4, 4);
  std::string out(isize, '\0');
  static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::size_t actual = 0;
  if (libdeflate_gzip_decompress(d, in.data(), in.size(), out.data(), out.size(), &actual) !=
      LIBDEFLATE_SUCCESS)
    return false;
  write_whole(work / "libdeflate.out", out.data(), actual);
  return true;
}
#endif

double cpu_seconds() {
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall = 1e9;  // best elapsed time
  double cpu = 1e9;   // best processor time (user + system) of a run
};

template <class F>
void time_once(Timing& t, F&& f) {
  double c0 = cpu_seconds();
  auto t0 = Clock::now();
  if (!f()) {
    std::fprintf(stderr, "a decoder failed\n");
    std::exit(1);
  }
  t.wall = std::min(t.wall, std::chrono::duration<double>(Clock::now() - t0).count());
  t.cpu = std::min(t.cpu, cpu_seconds() - c0);
}

long child_peak_kib(const fs::path& gz, const fs::path& work) {
  fs::path in = work / "peak.gz";
  fs::copy_file(gz, in, fs::copy_options::overwrite_existing);
  // posix_spawn does not copy this process's pages into the child first,
  // so the child's peak is its own.
  pid_t pid = 0;
  char* args[] = {const_cast<char*>("decompress"), const_cast<char*>(in.c_str()), nullptr};
  if (::posix_spawn(&pid, DECOMPRESS_TOOL, nullptr, nullptr, args, environ) != 0) return -1;
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  fs::remove(work / "peak");
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  fs::path data_dir = BENCH_DATA_DIR;
  fs::create_directories(data_dir);
  // Outputs go to bench/data/work unless BENCH_WORK_DIR names another place
  // (a memory file system takes the disk out of the comparison).
  fs::path work = std::getenv("BENCH_WORK_DIR") ? fs::path(std::getenv("BENCH_WORK_DIR"))
                                                : data_dir / "work";
  fs::create_directories(work);

  const int levels[] = {1, 6, 9};
  std::string raw;
  std::vector<fs::path> files;
  for (int level : levels) {
    fs::path gz = data_dir / ("mixed-" + std::to_string(megabytes) + "MB-l" +
                              std::to_string(level) + ".gz");
    if (!fs::exists(gz)) {
      if (raw.empty()) raw = make_mixed(megabytes << 20);
      std::fprintf(stderr, "making %s\n", gz.c_str());
      make_gzip(gz, raw, level);
    }
    files.push_back(gz);
  }
  std::string().swap(raw);
  // Measured first, while this process is small: a spawned child shares its
  // pages until it execs, and those count toward the child's peak.
  long peak = child_peak_kib(files[1], work);

  std::printf("| input | size | engine MB/s | zlib MB/s | libdeflate MB/s | engine/zlib time | engine/libdeflate time |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path& gz = files[i];
    double out_mb = double(megabytes << 20) / 1e6;
    Timing engine_t, zlib_t, ldf_t;
    for (int r = 0; r < reps; ++r) {
      prepare_engine_input(gz, work);
      time_once(engine_t, [&] { return run_engine(work); });
      time_once(zlib_t, [&] { return run_zlib(gz, work); });
#ifdef HAVE_LIBDEFLATE
      time_once(ldf_t, [&] { return run_libdeflate(gz, work); });
#endif
    }
    std::printf("| mixed, level %d | %.1f MB | %.0f | %.0f | %.0f | %.2f (cpu %.2f) | %.2f (cpu %.2f) |\n",
                levels[i], double(fs::file_size(gz)) / 1e6, out_mb / engine_t.wall,
                out_mb / zlib_t.wall, out_mb / ldf_t.wall, engine_t.wall / zlib_t.wall,
                engine_t.cpu / zlib_t.cpu, engine_t.wall / ldf_t.wall, engine_t.cpu / ldf_t.cpu);
    std::fflush(stdout);
  }
  std::printf("\npeak memory of `decompress` on the level-6 file: %ld KiB (max RSS)\n", peak);
  fs::remove_all(work);
  return 0;
}
