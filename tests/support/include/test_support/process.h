#pragma once
/// Running programs from tests: to completion with their output collected, or
/// in the background while the test drives them.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

struct ProcessOptions {
  std::string directory;             ///< working directory; empty: the test's own
  std::vector<std::string> env;      ///< "NAME=value" entries added to the environment
  std::string outputPath;            ///< file for standard output and error; empty: collected (Run) or discarded
  bool errorOnly = false;            ///< collect standard error alone (standard output is discarded)
  long fileSizeLimit = -1;           ///< the most bytes it may write to any file (RLIMIT_FSIZE), or -1
};

struct RunResult {
  int status = -1;     ///< exit status, or 128 + signal
  std::string output;  ///< standard output and standard error, interleaved
};

/// Runs ARGV (ARGV[0] a path) to completion.
RunResult Run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

/// A program running in the background; killed (if still running) when destroyed.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  /// The exit status (128 + signal when killed), or -1 while it still runs after TIMEOUT.
  int WaitForExit(std::chrono::milliseconds timeout);
  bool Running();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

/// Runs COMMAND through the shell and gives its standard output without the
/// trailing newlines. A failing command is tried again a few times: the test
/// X server now and then refuses a connection made right after another.
std::string Shell(const std::string& command);

void SleepFor(std::chrono::milliseconds duration);

/// Polls CONDITION every 20 ms until it holds or TIMEOUT passes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    SleepFor(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace test_support
