#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "files/file_helpers.h"
#include "files/scramble.h"
#include "platform/paths.h"
#include "test_support/temp_dir.h"
#include "scrambled.h"

namespace fs = std::filesystem;
using files::CreateParentDirectories;
using files::MakeTempPath;
using files::OpenForWriteWithRetry;
using files::UnscrambleFile;
using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

class FileHelpers : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
};

}  // namespace

TEST_F(FileHelpers, MakeTempPathDropsOnlyTheKnownPrefixes) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv tmp("TMPDIR", dir_.path().c_str());
  const std::string bare = MakeTempPath("Server.lst");
  ASSERT_EQ(bare, platform::UserTempDirectory() + "Server.lst");
  EXPECT_EQ(MakeTempPath("\\Server.lst"), bare);
  EXPECT_EQ(MakeTempPath(".\\Server.lst"), bare);
  EXPECT_EQ(MakeTempPath("\\.\\Server.lst"), bare);
  EXPECT_EQ(MakeTempPath("..\\Server.lst"), platform::UserTempDirectory() + "..\\Server.lst");
  EXPECT_EQ(MakeTempPath("\\\\Server.lst"), platform::UserTempDirectory() + "\\Server.lst");
  EXPECT_EQ(MakeTempPath(std::string(300, 'a')), "") << "too long for the path buffer";
}

TEST_F(FileHelpers, UnscrambleFileReplacesTheDestination) {
  WriteFile("Server.cnv", Scrambled("[Server]\nCount=1\nName0=새 서버\nIP0=10.0.0.1\n"));
  WriteFile("Server.lst", "[Server]\nCount=9\n" + std::string(2000, 'x'));
  ASSERT_TRUE(UnscrambleFile("Server.cnv", "Server.lst"));
  EXPECT_EQ(ReadFile("Server.lst"), "[Server]\nCount=1\nName0=새 서버\nIP0=10.0.0.1\n");
}

TEST_F(FileHelpers, UnscrambleFileWithMissingSourceMakesEmptyFiles) {
  ASSERT_TRUE(UnscrambleFile("Server.cnv", "out.lst"));
  EXPECT_TRUE(fs::exists("Server.cnv"));
  EXPECT_EQ(fs::file_size("Server.cnv"), 0u);
  EXPECT_EQ(fs::file_size("out.lst"), 0u);
  EXPECT_FALSE(UnscrambleFile("Server.cnv", "missing\\out.lst"));
}

TEST_F(FileHelpers, UnscrambleFileWorksInBlocksOf256) {
  // A scrambled zero in the first block leaves the rest of that block as it
  // is; the second block is unscrambled again.
  std::string first = Scrambled(std::string(100, 'a'));
  first += '\0';
  first += Scrambled(std::string(155, 'b'));
  const std::string second = Scrambled(std::string(50, 'c'));
  WriteFile("Server.cnv", first + second);
  ASSERT_TRUE(UnscrambleFile("Server.cnv", "Server.lst"));
  const std::string out = ReadFile("Server.lst");
  ASSERT_EQ(out.size(), 306u);
  EXPECT_EQ(out.substr(0, 100), std::string(100, 'a'));
  EXPECT_EQ(out.substr(100, 156), first.substr(100));
  EXPECT_EQ(out.substr(256), std::string(50, 'c'));
}

TEST_F(FileHelpers, CreateParentDirectoriesThreeLevelsDeep) {
  fs::create_directory("top");
  EXPECT_TRUE(CreateParentDirectories("top\\second\\third\\file.txt"));
  EXPECT_TRUE(fs::is_directory("top/second/third"));
  EXPECT_FALSE(CreateParentDirectories("top\\second\\third\\file.txt")) << "already there";
  EXPECT_FALSE(CreateParentDirectories("file.txt")) << "no directory in the name";
  EXPECT_FALSE(CreateParentDirectories(std::string(200, 'd') + "\\" + std::string(100, 'f')));
}

TEST_F(FileHelpers, OpenForWriteTruncatesAndCreatesMissingDirectories) {
  WriteFile("Notice.html", "old contents");
  files::File file = OpenForWriteWithRetry("Notice.html");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(fs::file_size("Notice.html"), 0u);

  file = OpenForWriteWithRetry("data\\maps\\a.dat.gz");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.WriteAll("x", 1));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(ReadFile("data/maps/a.dat.gz"), "x");

  // 259 characters is the longest path; one more fails before touching disk.
  const std::string folders = std::string(100, 'd') + "\\" + std::string(100, 'e') + "\\";
  const std::string longest = folders + std::string(259 - folders.size(), 'f');
  errno = 0;
  EXPECT_FALSE(OpenForWriteWithRetry(longest + "g").IsOpen());
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_FALSE(fs::exists(std::string(100, 'd')));
  EXPECT_TRUE(OpenForWriteWithRetry(longest).IsOpen());
}

