// Older-format decompression benchmark.
//
// .Z: about Z_MB megabytes of .Z data, made by the `compress` program from
// mixed text-like and binary-like data, decompressed in place by the engine
// (the decompress tool) and, in the same run and interleaved with it, by
// `compress -d`. Both run as child processes on a fresh copy of the file; the
// best of REPS runs counts (wall time, and the child's CPU time, which the
// shared machine disturbs less), the median is shown too. The engine's time must
// not exceed the peer's (ratio <= 1.0).
// pack and LZH: the same kind of data (PACK_MB megabytes before compression)
// made by the test encoders, decompressed by the engine; no peer, MB/s of
// output.
//
// Inputs are kept in bench/data/ (git-ignored) for later runs; outputs are
// checked against the data's CRC-32 on the first run.
//
// usage: bench_legacy [z_MB=20] [reps=5] [pack_MB=20]   (env BENCH_WORK_DIR: where runs happen)
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
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "legacy_encoders.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using legacy::Bytes;

extern char** environ;

namespace {

constexpr double kMB = 1024.0 * 1024.0;

Bytes make_data(std::size_t size) {
  Bytes data;
  data.reserve(size + 1000000);
  for (std::uint32_t part = 0; data.size() < size; ++part) {
    const Bytes text = legacy::sample_text(600000, part + 1);
    const Bytes binary = legacy::sample_binary(400000, part + 1000);
    data.insert(data.end(), text.begin(), text.end());
    data.insert(data.end(), binary.begin(), binary.end());
  }
  data.resize(size);
  return data;
}

std::uint32_t crc_of(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(b.size())));
}

Bytes read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                           static_cast<std::streamsize>(b.size()));
}

struct Timing {
  double wall = -1;  // seconds; negative when the program failed
  double cpu = 0;    // user + system seconds of the child
};

/// Runs ARGV in the current directory and times it.
Timing run_timed(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return {};
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  Timing t;
  t.wall = std::chrono::duration<double>(Clock::now() - start).count();
  t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) t.wall = -1;
  return t;
}

bool have_program(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Job {
  std::string label;
  fs::path source;                // cached compressed file
  std::string work_name;          // copy made for each run
  std::string output_name;        // what the run leaves
  std::vector<std::string> argv;  // command, run in the work directory
  std::uint32_t expected_crc;
  double output_mb;
  std::vector<double> times;  // wall
  std::vector<double> cpu;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int z_mb = argc > 1 ? std::atoi(argv[1]) : 20;
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const int pack_mb = argc > 3 ? std::atoi(argv[3]) : 20;

  const fs::path data_dir = BENCH_DATA_DIR;
  const char* work_env = std::getenv("BENCH_WORK_DIR");
  const fs::path work_dir = work_env ? fs::path(work_env) : data_dir / "legacy-work";
  fs::create_directories(work_dir);
  const std::string tool = fs::absolute(DECOMPRESS_TOOL).string();
  const bool peer = have_program("compress");

  std::vector<Job> jobs;

  // .Z: the mixed data compresses to about 35 %; size the input so that
  // the .Z file is about z_MB megabytes.
  const std::size_t z_raw_size = static_cast<std::size_t>(z_mb * kMB / 0.35);
  const Bytes z_raw = make_data(z_raw_size);
  const std::uint32_t z_crc = crc_of(z_raw);
  const fs::path z_file = data_dir / ("legacy-" + std::to_string(z_mb) + "MB.Z");
  if (!fs::exists(z_file) && peer) {
    std::printf("making %s with compress ...\n", z_file.c_str());
    const fs::path raw_file = work_dir / "z-input";
    write_bytes(raw_file, z_raw);
    const std::string cmd = "compress -c '" + raw_file.string() + "' > '" + z_file.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "compress failed\n");
      return 1;
    }
    fs::remove(raw_file);
  }
  if (fs::exists(z_file)) {
    const double out_mb = static_cast<double>(z_raw.size()) / kMB;
    jobs.push_back({"engine .Z", z_file, "e.Z", "e", {tool, "e.Z"}, z_crc, out_mb, {}, {}});
    if (peer) {
      jobs.push_back({"compress -d", z_file, "p.Z", "p", {"compress", "-d", "-f", "p.Z"}, z_crc, out_mb, {}, {}});
    }
  } else {
    std::printf("no compress program: .Z comparison skipped\n");
  }

  // pack and LZH from the test encoders.
  const Bytes raw = make_data(static_cast<std::size_t>(pack_mb * kMB));
  const std::uint32_t raw_crc = crc_of(raw);
  const double raw_mb = static_cast<double>(raw.size()) / kMB;
  const fs::path pack_file = data_dir / ("legacy-" + std::to_string(pack_mb) + "MB.pack.z");
  const fs::path lzh_file = data_dir / ("legacy-" + std::to_string(pack_mb) + "MB.lzh.z");
  if (!fs::exists(pack_file)) {
    std::printf("making %s ...\n", pack_file.c_str());
    write_bytes(pack_file, legacy::pack_encode(raw));
  }
  if (!fs::exists(lzh_file)) {
    std::printf("making %s ...\n", lzh_file.c_str());
    write_bytes(lzh_file, legacy::lzh_encode(raw));
  }
  jobs.push_back({"engine pack", pack_file, "k.z", "k", {tool, "k.z"}, raw_crc, raw_mb, {}, {}});
  jobs.push_back({"engine LZH", lzh_file, "h.z", "h", {tool, "h.z"}, raw_crc, raw_mb, {}, {}});

  fs::current_path(work_dir);
  for (int rep = 0; rep < reps; ++rep) {
    for (auto& job : jobs) {
      fs::remove(job.output_name);
      fs::copy_file(job.source, job.work_name, fs::copy_options::overwrite_existing);
      const Timing t = run_timed(job.argv);
      if (t.wall < 0) {
        std::fprintf(stderr, "%s failed\n", job.label.c_str());
        return 1;
      }
      if (rep == 0 && crc_of(read_bytes(job.output_name)) != job.expected_crc) {
        std::fprintf(stderr, "%s: output differs from the data\n", job.label.c_str());
        return 1;
      }
      fs::remove(job.output_name);
      job.times.push_back(t.wall);
      job.cpu.push_back(t.cpu);
    }
  }

  std::printf("\n%-12s %10s %10s %10s %10s %10s %10s\n", "job", "input MB", "output MB", "best s",
              "median s", "best cpu s", "MB/s out");
  for (const auto& job : jobs) {
    const double best = *std::min_element(job.times.begin(), job.times.end());
    std::printf("%-12s %10.1f %10.1f %10.3f %10.3f %10.3f %10.1f\n", job.label.c_str(),
                static_cast<double>(fs::file_size(job.source)) / kMB, job.output_mb, best,
                median(job.times), *std::min_element(job.cpu.begin(), job.cpu.end()),
                job.output_mb / best);
  }
  if (jobs.size() >= 2 && jobs[1].label == "compress -d") {
    const double e_best = *std::min_element(jobs[0].times.begin(), jobs[0].times.end());
    const double p_best = *std::min_element(jobs[1].times.begin(), jobs[1].times.end());
    const double e_cpu = *std::min_element(jobs[0].cpu.begin(), jobs[0].cpu.end());
    const double p_cpu = *std::min_element(jobs[1].cpu.begin(), jobs[1].cpu.end());
    std::printf("\n.Z engine / compress -d: wall best %.3f x, wall median %.3f x, cpu best %.3f x"
                " (required <= 1.0)\n",
                e_best / p_best, median(jobs[0].times) / median(jobs[1].times), e_cpu / p_cpu);
  }
  return 0;
}
