#include "test_support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "test_support/temp_dir.h"

namespace test_support {
namespace {

pid_t Spawn(const std::vector<std::string>& argv, const ProcessOptions& options, int outputFd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(127);
  for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
  const int null = open("/dev/null", O_WRONLY);
  dup2(outputFd >= 0 && !options.errorOnly ? outputFd : null, 1);
  dup2(outputFd >= 0 ? outputFd : null, 2);
  if (options.fileSizeLimit >= 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the program
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

int DecodeStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

void SleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

RunResult Run(const std::vector<std::string>& argv, const ProcessOptions& options) {
  RunResult result;
  TempDir scratch;
  const std::string outputPath = options.outputPath.empty() ? scratch / "output" : options.outputPath;
  const int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = Spawn(argv, options, fd);
  close(fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  result.status = DecodeStatus(status);
  result.output = ReadFile(outputPath);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int fd = -1;
  if (!options.outputPath.empty()) {
    fd = open(options.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  pid_ = Spawn(argv, options, fd);
  if (fd >= 0) close(fd);
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    WaitForExit(std::chrono::seconds(5));
  }
}

bool ChildProcess::Running() { return WaitForExit(std::chrono::milliseconds(0)) == -1; }

int ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (status_ != -1 || pid_ <= 0) return status_;
  WaitUntil(
      [&] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = DecodeStatus(status);
        return true;
      },
      timeout);
  return status_;
}

std::string Shell(const std::string& command) {
  std::string output;
  for (int attempt = 0; attempt < 5; ++attempt) {
    output.clear();
    int status = -1;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
      status = pclose(pipe);
    }
    if (status == 0) break;
    SleepFor(std::chrono::milliseconds(150));
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace test_support
