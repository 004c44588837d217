// The updater as a player starts it: real processes on the test display,
// found and driven with xdotool. Set UPDATER_SCREENSHOT_DIR to keep a
// screenshot of every window these tests see.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

/// Runs COMMAND and gives its output. The test X server now and then refuses
/// a connection made right after another one, so a failing command is tried
/// again a few times.
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
    std::this_thread::sleep_for(150ms);
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

class UpdaterProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run -a";
    for (const char* sub : {"run", "cache", "data", "game"}) fs::create_directory(dir_ / sub);
    chmod((dir_ / "run").c_str(), 0700);
  }

  void TearDown() override {
    for (pid_t pid : started_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }

  /// Starts EXE and waits for its window. A process that ends with a failure
  /// before showing any (it could not reach the X server) is started again.
  std::pair<pid_t, std::string> StartWithWindow(const std::string& exe,
                                                const std::vector<std::string>& extraEnv = {}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const pid_t pid = Start(exe, extraEnv);
      const std::string window = WindowOf(pid);
      if (!window.empty() || lastExitStatus_ == 0) return {pid, window};
      std::this_thread::sleep_for(200ms);
    }
    return {-1, {}};
  }

  /// Starts EXE in the game folder with private runtime, cache and data folders.
  pid_t Start(const std::string& exe, const std::vector<std::string>& extraEnv = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir((dir_ / "game").c_str()) != 0) _exit(127);
      setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
      setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
      setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
      for (const std::string& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    started_.push_back(pid);
    return pid;
  }

  /// The visible top-level window of PID, waiting up to 30 s for it.
  std::string WindowOf(pid_t pid) {
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
      const std::string id = Shell("xdotool search --onlyvisible --pid " + std::to_string(pid) + " | head -n 1");
      if (!id.empty()) {
        std::this_thread::sleep_for(700ms);  // let it paint before it is looked at or typed into
        return id;
      }
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        lastExitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return {};
      }
      std::this_thread::sleep_for(100ms);
    }
    return {};
  }

  void Screenshot(const std::string& name) {
    if (const char* dir = std::getenv("UPDATER_SCREENSHOT_DIR"))
      Shell("import -window root '" + std::string(dir) + "/" + name + ".png'");
  }

  /// Gives WINDOW the keyboard focus and types KEY into it.
  void Type(const std::string& window, const std::string& key) {
    Shell("xdotool windowfocus " + window);
    std::this_thread::sleep_for(200ms);
    Shell("xdotool key " + key);
  }

  /// The exit status of PID, or -1 when it still runs after TIMEOUT.
  int WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < end;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

  test_support::TempDir dir_;
  std::vector<pid_t> started_;
  int lastExitStatus_ = -1;
};

const std::string kUpdate = UPDATE_EXE;

}  // namespace

TEST_F(UpdaterProcesses, SecondCopyIsRefusedAndACopyUnderAnotherNameRuns) {
  const auto [first, firstWindow] = StartWithWindow(kUpdate);
  ASSERT_FALSE(firstWindow.empty());
  EXPECT_EQ(Shell("xdotool getwindowname " + firstWindow), "Mirvale Update");
  Screenshot("update-window");

  const auto [second, box] = StartWithWindow(kUpdate);
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(Shell("xdotool getwindowname " + box), "Mirvale");
  Screenshot("already-running");
  EXPECT_EQ(WaitForExit(second, 500ms), -1) << "waits for the player";
  Type(box, "Return");
  EXPECT_EQ(WaitForExit(second, 10s), 0);
  EXPECT_EQ(WaitForExit(first, 0ms), -1) << "the first copy keeps running";

  const std::string renamed = dir_ / "MirvaleUpdate";
  fs::copy_file(kUpdate, renamed);
  const auto [other, otherWindow] = StartWithWindow(renamed);
  ASSERT_FALSE(otherWindow.empty());
  EXPECT_EQ(Shell("xdotool getwindowname " + otherWindow), "Mirvale Update");

  Type(otherWindow, "Escape");
  EXPECT_EQ(WaitForExit(other, 10s), 0);
  EXPECT_EQ(WaitForExit(first, 0ms), -1);
  Type(firstWindow, "Escape");
  EXPECT_EQ(WaitForExit(first, 10s), 0);
}

TEST_F(UpdaterProcesses, NoInternetSocketShowsMessage1AndEnds) {
  const auto [pid, box] = StartWithWindow(kUpdate, {"LD_PRELOAD=" FAIL_SOCKET_SHIM});
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(Shell("xdotool getwindowname " + box), "Update");
  Screenshot("message-1");
  Type(box, "Return");
  EXPECT_EQ(WaitForExit(pid, 10s), 0);
}
