// The demo's game client as the updater starts it: a real window on the test
// display that shows, and prints, the arguments and the working folder.
// Set UPDATER_SCREENSHOT_DIR to keep a screenshot of it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string Shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

TEST(DemoClient, ShowsAndPrintsItsArgumentsAndFolder) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run -a";
  test_support::TempDir dir;
  for (const char* sub : {"run", "cache", "data", "game"}) fs::create_directory(dir / sub);
  chmod((dir / "run").c_str(), 0700);

  // The test X server now and then refuses a connection made right after
  // another one: a client that ended without a window is started again.
  pid_t pid = -1;
  std::string window;
  for (int attempt = 0; attempt < 3 && window.empty(); ++attempt) {
    pid = fork();
    if (pid == 0) {
      if (chdir((dir / "game").c_str()) != 0 || !freopen("../out.txt", "w", stdout)) _exit(127);
      setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
      setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
      setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
      execl(DEMO_CLIENT, DEMO_CLIENT, "-Update", "/IP:10.20.30.40", "two words", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (auto end = std::chrono::steady_clock::now() + 30s;
         window.empty() && std::chrono::steady_clock::now() < end;) {
      window = Shell("xdotool search --onlyvisible --pid " + std::to_string(pid) + " | head -n 1");
      if (waitpid(pid, nullptr, WNOHANG) == pid) break;
      std::this_thread::sleep_for(100ms);
    }
  }
  ASSERT_FALSE(window.empty()) << "no window";
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(Shell("xdotool getwindowname " + window), "Mirvale");
  if (const char* shots = std::getenv("UPDATER_SCREENSHOT_DIR")) {
    Shell("import -window root '" + std::string(shots) + "/demo-client.png'");
  }
  Shell("xdotool windowfocus " + window);
  std::this_thread::sleep_for(200ms);
  Shell("xdotool key Return");
  int status = -1;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) != pid; ++i) std::this_thread::sleep_for(100ms);
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "Enter did not close the window";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string out = test_support::ReadFile(dir / "out.txt");
  EXPECT_NE(out.find("demo-client: started with arguments: -Update /IP:10.20.30.40 two words\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("demo-client: working folder: " + (dir / "game")), std::string::npos) << out;
}

}  // namespace
