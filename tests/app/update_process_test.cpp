// Start-up as a player meets it: real Update processes on the test display.
// A server that accepts and says nothing keeps each window waiting.
// UPDATER_SCREENSHOT_DIR keeps a screenshot of every window these tests see.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "scripted_server.h"
#include "test_support/desktop.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::PressKey;
using test_support::WindowTitle;

namespace {

const std::string kUpdate = UPDATE_EXE;

class UpdaterProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"run", "cache", "data", "game"}) fs::create_directory(dir_ / sub);
    chmod((dir_ / "run").c_str(), 0700);
    silent_.Start();
    test_support::WriteFile(dir_ / "game/Config.ini",
                            "[Update]\nIP1=127.0.0.1\nPort=" + std::to_string(silent_.port()) + "\n");
  }

  /// Starts EXE in the game folder with private runtime, cache and data folders.
  std::unique_ptr<test_support::ChildProcess> Start(const std::string& exe,
                                                    std::vector<std::string> env = {}) {
    const std::string d = dir_.path();
    for (const char* e : {"XDG_RUNTIME_DIR=/run", "XDG_CACHE_HOME=/cache", "XDG_DATA_HOME=/data"}) {
      const std::string entry(e);
      env.push_back(entry.substr(0, entry.find('=') + 1) + d + entry.substr(entry.find('=') + 1));
    }
    return std::make_unique<test_support::ChildProcess>(std::vector<std::string>{exe},
                                                        test_support::ProcessOptions{d + "/game", env, ""});
  }

  test_support::TempDir dir_;
  testing_session::ScriptedServer silent_;
};

}  // namespace

TEST_F(UpdaterProcesses, SecondCopyIsRefusedAndACopyUnderAnotherNameRuns) {
  auto first = Start(kUpdate);
  const std::string firstWindow = test_support::WindowOf(first->pid(), "Mirvale Update");
  ASSERT_FALSE(firstWindow.empty());
  test_support::Screenshot("update-window");

  auto second = Start(kUpdate);
  const std::string box = test_support::WindowOf(second->pid(), "Mirvale");
  ASSERT_FALSE(box.empty());
  test_support::Screenshot("already-running");
  EXPECT_EQ(second->WaitForExit(500ms), -1) << "waits for the player";
  PressKey(box, "Return");
  EXPECT_EQ(second->WaitForExit(10s), 0);
  EXPECT_TRUE(first->Running()) << "the first copy keeps running";

  const std::string renamed = dir_ / "MirvaleUpdate";
  fs::copy_file(kUpdate, renamed);
  auto other = Start(renamed);
  const std::string otherWindow = test_support::WindowOf(other->pid(), "Mirvale Update");
  ASSERT_FALSE(otherWindow.empty());
  PressKey(otherWindow, "Escape");
  EXPECT_EQ(other->WaitForExit(10s), 0);
  EXPECT_TRUE(first->Running());
  PressKey(firstWindow, "Escape");
  EXPECT_EQ(first->WaitForExit(10s), 0);
}

TEST_F(UpdaterProcesses, NoInternetSocketShowsMessage1AndEnds) {
  auto update = Start(kUpdate, {"LD_PRELOAD=" FAIL_SOCKET_SHIM});
  const std::string box = test_support::WindowOf(update->pid(), "Update");
  ASSERT_FALSE(box.empty());
  test_support::Screenshot("message-1");
  PressKey(box, "Return");
  EXPECT_EQ(update->WaitForExit(10s), 0);
}
