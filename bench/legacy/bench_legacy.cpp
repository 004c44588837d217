// Older-format decompression.
//
// .Z: about Z_MB megabytes of .Z data, made by the test encoder (testdata's
// lzw_encode: 16-bit codes, block mode, a clear whenever the table is full)
// from mixed text-like and binary-like data, decompressed in place by the engine (the decompress tool) and, in the
// same run and interleaved with it, by `compress -d`. Budget: engine
// <= 0.80 x the peer's time.
// pack and LZH: PACK_MB megabytes of the same kind of data made by the test
// encoders, decompressed by the engine; no peer, MB/s of output.
// BENCH_BASELINE_TOOL adds another build of the decompress tool to every
// format, to compare two revisions in one run.
//
// Every job is a child process on a fresh copy of its file, made before the
// clock starts; the best and the median of ROUNDS runs are shown, wall and
// processor time. Inputs are kept in bench/data/ (git-ignored); each output
// is checked against the data's CRC-32 in the first round.
//
// usage: bench_legacy [z_MB=20] [rounds=11] [pack_MB=20]   (env BENCH_WORK_DIR)
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_jobs.h"
#include "testdata/legacy_encoders.h"

namespace fs = std::filesystem;
using legacy::Bytes;

namespace {

constexpr double kMB = 1024.0 * 1024.0;

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

struct Job {
  std::string label;
  fs::path source;                // cached compressed file
  std::string work_name;          // copy made for each run
  std::string output_name;        // what the run leaves
  std::vector<std::string> argv;  // command, run in the work directory
  std::uint32_t expected_crc;
  double output_mb;
  bench::Samples samples;
};

/// The file at PATH, made by MAKE when it is not there yet.
template <class Make>
fs::path cached(const fs::path& path, Make make) {
  if (!fs::exists(path)) {
    std::printf("making %s ...\n", path.c_str());
    write_bytes(path, make());
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const int z_mb = argc > 1 ? std::atoi(argv[1]) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
  const int pack_mb = argc > 3 ? std::atoi(argv[3]) : 20;

  const fs::path data_dir = BENCH_DATA_DIR;
  fs::create_directories(data_dir);
  const char* work_env = std::getenv("BENCH_WORK_DIR");
  const fs::path work_dir = work_env ? fs::path(work_env) : data_dir / "legacy-work";
  fs::create_directories(work_dir);
  const std::string tool = fs::absolute(DECOMPRESS_TOOL).string();
  const char* baseline = std::getenv("BENCH_BASELINE_TOOL");

  // The engine (and the baseline build) on one file.
  std::vector<Job> jobs;
  auto add_engine_jobs = [&](const std::string& format, const fs::path& file, std::uint32_t crc,
                             double out_mb) {
    jobs.push_back({"engine " + format, file, "e.z", "e", {tool, "e.z"}, crc, out_mb, {}});
    if (baseline)
      jobs.push_back({"baseline " + format, file, "b.z", "b", {baseline, "b.z"}, crc, out_mb, {}});
  };

  // .Z: the mixed data compresses to about 35 %; size the input so that the
  // .Z file is about z_MB megabytes.
  const Bytes z_raw = legacy::sample_mixed(static_cast<std::size_t>(z_mb * kMB / 0.35));
  const double z_out_mb = static_cast<double>(z_raw.size()) / kMB;
  const fs::path z_file = cached(data_dir / ("legacy-" + std::to_string(z_mb) + "MB-enc.Z"),
                                 [&] {
                                   legacy::LzwOptions options;
                                   options.clear_when_full = true;
                                   return legacy::lzw_encode(z_raw, options);
                                 });
  add_engine_jobs(".Z", z_file, crc_of(z_raw), z_out_mb);
  const bool peer = bench::have_program("compress");
  if (peer) {
    jobs.push_back({"compress -d", z_file, "p.Z", "p", {"compress", "-d", "-f", "p.Z"},
                    crc_of(z_raw), z_out_mb, {}});
  } else {
    std::printf("no compress program: the .Z comparison is skipped\n");
  }

  const Bytes raw = legacy::sample_mixed(static_cast<std::size_t>(pack_mb * kMB));
  const double raw_mb = static_cast<double>(raw.size()) / kMB;
  const std::string stem = "legacy-" + std::to_string(pack_mb) + "MB";
  add_engine_jobs("pack", cached(data_dir / (stem + ".pack.z"), [&] { return legacy::pack_encode(raw); }),
                  crc_of(raw), raw_mb);
  add_engine_jobs("LZH", cached(data_dir / (stem + ".lzh.z"), [&] { return legacy::lzh_encode(raw); }),
                  crc_of(raw), raw_mb);

  for (int round = 0; round < rounds; ++round) {
    for (auto& job : jobs) {
      fs::remove(work_dir / job.output_name);
      fs::copy_file(job.source, work_dir / job.work_name, fs::copy_options::overwrite_existing);
      const bench::Run r = bench::run_child(job.argv, work_dir);
      if (!r.ok || (round == 0 && crc_of(read_bytes(work_dir / job.output_name)) != job.expected_crc)) {
        std::fprintf(stderr, "%s failed or gave other bytes\n", job.label.c_str());
        return 1;
      }
      fs::remove(work_dir / job.output_name);
      job.samples.add(r);
    }
  }

  std::printf("\n%-14s %9s %9s %9s %9s %9s %9s\n", "job", "input MB", "output MB", "best s",
              "median s", "cpu s", "MB/s out");
  for (const auto& job : jobs) {
    const auto& s = job.samples;
    std::printf("%-14s %9.1f %9.1f %9.3f %9.3f %9.3f %9.1f\n", job.label.c_str(),
                static_cast<double>(fs::file_size(job.source)) / kMB, job.output_mb,
                bench::best(s.wall), bench::median(s.wall), bench::best(s.cpu),
                job.output_mb / bench::best(s.wall));
  }
  std::printf("\n%d rounds\n", rounds);
  for (const auto& job : jobs) {
    if (peer && job.source == z_file && job.label != "compress -d")
      std::printf("%s / compress -d: %s (budget: engine <= 0.80)\n", job.label.c_str(),
                  bench::ratios(job.samples, jobs[baseline ? 2 : 1].samples).c_str());
  }
  if (baseline) {
    for (std::size_t i = 0; i + 1 < jobs.size(); ++i) {
      if (jobs[i + 1].label.rfind("baseline", 0) == 0)
        std::printf("%s / %s: %s\n", jobs[i].label.c_str(), jobs[i + 1].label.c_str(),
                    bench::ratios(jobs[i].samples, jobs[i + 1].samples).c_str());
    }
  }
  fs::remove_all(work_dir);
  return 0;
}
