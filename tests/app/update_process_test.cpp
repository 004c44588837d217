// Start-up as a player meets it: real Update processes on the test display.
// A server that accepts and says nothing keeps each window waiting.
// UPDATER_SCREENSHOT_DIR keeps a screenshot of every window these tests see.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>
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

  /// Starts EXE in the game folder with private runtime, cache and data folders
  /// (ENV: more variables, which may replace those folders).
  std::unique_ptr<test_support::ChildProcess> Start(const std::string& exe,
                                                    std::vector<std::string> env = {}) {
    const std::string d = dir_.path();
    // Each folder unless ENV gives its variable already.
    const std::vector<std::string> given = env;
    for (const char* e : {"XDG_RUNTIME_DIR=/run", "XDG_CACHE_HOME=/cache", "XDG_DATA_HOME=/data"}) {
      const std::string entry(e);
      const std::string name = entry.substr(0, entry.find('=') + 1);
      const auto sameName = [&](const std::string& g) { return g.rfind(name, 0) == 0; };
      if (std::none_of(given.begin(), given.end(), sameName))
        env.push_back(name + d + entry.substr(name.size()));
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

// Without a runtime folder, a folder of our name that another user made
// first in the shared temporary folder (a link, or an open folder of theirs)
// neither stops the updater as a second copy nor receives anything.
TEST_F(UpdaterProcesses, AFolderOthersPlantedInTheSharedTemporaryFolderDoesNotStopIt) {
  const std::string own = "mirvale-updater-" + std::to_string(geteuid());
  for (const bool link : {true, false}) {
    SCOPED_TRACE(link ? "link" : "another user's open folder");
    if (!link && geteuid() != 0) continue;  // only the administrator can give a folder away
    fs::remove_all(dir_ / "tmp");
    fs::remove_all(dir_ / "victim");
    fs::create_directories(dir_ / "tmp");
    fs::create_directories(dir_ / "victim");
    chmod((dir_ / "tmp").c_str(), 01777);
    if (link) {
      fs::create_directory_symlink(dir_ / "victim", dir_ / "tmp/" + own);
    } else {
      fs::create_directory(dir_ / "tmp/" + own);
      chmod((dir_ / "tmp/" + own).c_str(), 0777);
      ASSERT_EQ(chown((dir_ / "tmp/" + own).c_str(), 65534, 65534), 0);
    }
    auto update = Start(kUpdate, {"XDG_RUNTIME_DIR=", "TMPDIR=" + dir_ / "tmp"});
    const std::string window = test_support::WindowOf(update->pid());
    ASSERT_FALSE(window.empty());
    ASSERT_EQ(WindowTitle(window), "Mirvale Update") << "not refused as a second copy";
    EXPECT_TRUE(fs::exists(dir_ / "cache/" + own + "/Update.lock"));
    EXPECT_TRUE(fs::is_empty(dir_ / "victim"));
    PressKey(window, "Escape");
    EXPECT_EQ(update->WaitForExit(10s), 0);
  }
}
