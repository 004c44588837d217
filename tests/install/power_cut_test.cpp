// A power cut after an update. The game folder lies on an ext4 file system
// made with default options in an image file; a copy of that image taken
// while it is mounted is what the disk would hold if the power went at that
// moment. The copies are mounted and read as the next start of the updater
// would find them: whenever File.ver records the new versions, every file
// that brought them must be there in full, or the next run calls the game
// up to date and the files stay empty for good.
//
// Needs root (loop devices, mount); skipped with the reason otherwise.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "files/version_file.h"
#include "session_fixture.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"

namespace fs = std::filesystem;
using namespace testing_session;

namespace {

const std::string kConsole = UPDATER_CONSOLE_EXE;

/// Runs ARGV and gives its output when it fails ("" when it succeeds).
std::string Failure(const std::vector<std::string>& argv) {
  const test_support::RunResult run = test_support::Run(argv);
  return run.status == 0 ? "" : argv[0] + " ended with " + std::to_string(run.status) + ": " + run.output;
}

/// What a later start finds in the game folder of an image copy.
struct Found {
  std::string versions;                                    ///< "major minor", or what went wrong
  std::vector<std::pair<std::string, std::string>> files;  ///< name, content
};

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system image";
    image_ = dir_ / "disk.img";
    mounted_ = dir_ / "mounted";
    fs::create_directory(mounted_);
    ASSERT_EQ(Failure({"/usr/bin/truncate", "-s", "64M", image_}), "");
    ASSERT_EQ(Failure({"/usr/sbin/mkfs.ext4", "-q", "-F", image_}), "");
    const std::string mount = Failure({"/usr/bin/mount", "-o", "loop", image_, mounted_});
    if (!mount.empty()) GTEST_SKIP() << "no loop device to mount an image: " << mount;
    isMounted_ = true;
  }
  void TearDown() override {
    if (isMounted_) {
      EXPECT_EQ(Failure({"/usr/bin/umount", mounted_}), "");
    }
  }

  /// A copy of the image as it stands now: what a power cut leaves.
  std::string CutPower(const std::string& name) {
    const std::string copy = dir_ / name;
    EXPECT_EQ(Failure({"/usr/bin/cp", "--sparse=always", image_, copy}), "");
    return copy;
  }

  /// Mounts the copy COPY (its journal is replayed, as at the next boot) and
  /// reads File.ver and NAMES in its game folder.
  Found Read(const std::string& copy, const std::vector<std::string>& names) {
    Found found;
    const std::string at = copy + ".mounted";
    fs::create_directory(at);
    const std::string mount = Failure({"/usr/bin/mount", "-o", "loop", copy, at});
    if (!mount.empty()) {
      found.versions = "not mountable: " + mount;
      return found;
    }
    files::FileVersionRecord record;
    const auto outcome = files::ReadVersionFile(record, at + "/game/File.ver");
    found.versions = outcome == files::VersionFileOutcome::Valid
                         ? std::to_string(record.major) + " " + std::to_string(record.minor)
                         : "not valid";
    for (const std::string& name : names) {
      std::error_code error;
      found.files.emplace_back(name, fs::exists(at + "/game/" + name, error)
                                         ? test_support::ReadFile(at + "/game/" + name)
                                         : "(missing)");
    }
    EXPECT_EQ(Failure({"/usr/bin/umount", at}), "");
    return found;
  }

  test_support::TempDir dir_;
  std::string image_, mounted_;
  bool isMounted_ = false;
};

/// Forces the file system to commit what it has recorded so far, as its
/// periodic commit does a few seconds later: an fsync of an unrelated file
/// commits the whole running transaction (names, sizes, File.ver), but
/// writes no other file's delayed data.
void CommitJournal(const std::string& folder) {
  const std::string name = folder + "/unrelated.txt";
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

}  // namespace

// An update from 1 0 to 2 1 brings two new files; the updater ends with
// status 0. Copies right after its end and after the next journal commit.
TEST_F(PowerCut, FileVerNeverRecordsFilesThatAreNotOnTheDisk) {
  const std::string game = mounted_ + "/game";
  fs::create_directory(game);
  const std::string major = testdata::text_data(300000, 1), minor = testdata::noise_data(200000, 2);
  const Bytes majorGz = ToBytes(testdata::gzip_of(major)), minorGz = ToBytes(testdata::gzip_of(minor));
  ScriptedServer server;
  server.Send(Reply(2, 1))
      .Expect(9)
      .Send(Cat({FileList(1, 1, static_cast<std::int32_t>(majorGz.size() + minorGz.size())),
                 File("maps.pak", 2, majorGz), File("data\\sounds.pak", 1, minorGz)}));
  server.Start();
  test_support::WriteFile(game + "/Config.ini",
                          "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  ASSERT_TRUE(files::WriteVersionFile(1, 0, game + "/File.ver"));
  ::sync();  // the game as installed before: on the disk

  test_support::ProcessOptions inGame;
  inGame.directory = game;
  const test_support::RunResult run = test_support::Run({kConsole, "--install"}, inGame);
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string atExit = CutPower("at-exit.img");
  CommitJournal(mounted_);
  const std::string afterCommit = CutPower("after-commit.img");

  const std::vector<std::string> names = {"maps.pak", "data/sounds.pak"};
  const std::vector<std::pair<std::string, std::string>> installed = {{"maps.pak", major},
                                                                      {"data/sounds.pak", minor}};
  for (const std::string& copy : {atExit, afterCommit}) {
    SCOPED_TRACE(fs::path(copy).filename().string());
    const Found found = Read(copy, names);
    if (found.versions == "2 1") {
      for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(found.files[i].second.size(), installed[i].second.size()) << names[i] << " (bytes)";
        if (found.files[i].second.size() == installed[i].second.size()) {
          EXPECT_TRUE(found.files[i].second == installed[i].second) << names[i] << " differs";
        }
      }
    } else {
      EXPECT_EQ(found.versions, "1 0");
    }
  }
  // Once the updater has ended, the new state is what survives.
  EXPECT_EQ(Read(afterCommit, names).versions, "2 1");
}
