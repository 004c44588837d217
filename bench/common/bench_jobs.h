#pragma once
/// Whole jobs as child processes, timed side by side: each job is a command
/// run in a work directory; a run's wall time and the child's processor time
/// (user + system, from wait4) are kept, and a job reports the best and the
/// median of its runs. The shared machine disturbs processor time less than
/// wall time, so both are shown.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Run {
  bool ok = false;
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds of the child
  long peak_kib = 0;  // the child's maximum resident set
};

/// Runs ARGV (the program found through PATH when it has no slash) in DIR
/// and waits for it. A run is ok when the program exits with status 0.
inline Run run_child(const std::vector<std::string>& argv, const std::filesystem::path& dir) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  Run run;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peak_kib = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

inline double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// The runs of one job.
struct Samples {
  std::vector<double> wall, cpu;
  void add(const Run& r) {
    wall.push_back(r.wall);
    cpu.push_back(r.cpu);
  }
};

/// "A / B" for the best wall, median wall and best processor times.
inline std::string ratios(const Samples& a, const Samples& b) {
  char text[96];
  std::snprintf(text, sizeof text, "%.2f best, %.2f median (cpu %.2f)", best(a.wall) / best(b.wall),
                median(a.wall) / median(b.wall), best(a.cpu) / best(b.cpu));
  return text;
}

/// Whether NAME is a program on PATH.
inline bool have_program(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace bench
