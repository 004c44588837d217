// The file helpers on POSIX: permission bits stand for the read-only
// attribute, and a planted link is not followed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "files/file_helpers.h"
#include "files/scramble.h"
#include "test_support/temp_dir.h"
#include "scrambled.h"

namespace fs = std::filesystem;
using files::MoveFileWithRetry;
using files::OpenForWriteWithRetry;
using files::UnscrambleFile;
using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

/// Runs BODY in a child process as an unprivileged user (root ignores file
/// permissions, so the permission paths are only reachable without it) and
/// exits with 0 when BODY returned true.
void RunUnprivileged(const std::function<bool()>& body) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
  _exit(body() ? 0 : 1);
}

class FileHelpersPosix : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
};

}  // namespace

TEST_F(FileHelpersPosix, UnscrambleFileDoesNotFollowALinkAtTheDestination) {
  WriteFile("Server.cnv", Scrambled("[Server]\n"));
  WriteFile("victim", "keep me");
  fs::create_symlink(dir_ / "victim", "Server.lst");
  EXPECT_FALSE(UnscrambleFile("Server.cnv", "Server.lst"));
  EXPECT_EQ(ReadFile("victim"), "keep me");
}

TEST_F(FileHelpersPosix, OpenForWriteMakesAReadOnlyFileWritable) {
  chmod(dir_.path().c_str(), 0777);
  EXPECT_EXIT(RunUnprivileged([] {
                WriteFile("readonly.dat", "old");
                chmod("readonly.dat", 0444);
                files::File file = OpenForWriteWithRetry("readonly.dat");
                if (!file.IsOpen() || !file.Close()) return false;
                struct stat st {};
                return stat("readonly.dat", &st) == 0 && st.st_size == 0 && (st.st_mode & S_IWUSR);
              }),
              ::testing::ExitedWithCode(0), "");
}

TEST_F(FileHelpersPosix, OpenForWriteGivesUpWhenPermissionStaysDenied) {
  // In a folder of someone else's that is read-only: making the file
  // writable cannot help, so the retries end instead of looping for ever.
  WriteFile("foreign.dat", "old");
  chmod("foreign.dat", 0444);
  chmod(dir_.path().c_str(), 0555);
  EXPECT_EXIT(RunUnprivileged([] {
                if (geteuid() == 0) return false;
                return !OpenForWriteWithRetry("foreign.dat").IsOpen() && errno == EACCES;
              }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile("foreign.dat"), "old");
}

TEST_F(FileHelpersPosix, MoveFileReplacesAndCreatesTheDestinationFolder) {
  WriteFile("a", "new");
  WriteFile("b", "old");
  chmod("b", 0444);
  EXPECT_TRUE(MoveFileWithRetry("a", "b"));
  EXPECT_EQ(ReadFile("b"), "new");
  EXPECT_FALSE(fs::exists("a"));

  EXPECT_TRUE(MoveFileWithRetry("b", "x\\y\\b"));
  EXPECT_EQ(ReadFile("x/y/b"), "new");

  EXPECT_FALSE(MoveFileWithRetry("missing", "p\\q"));
  EXPECT_FALSE(fs::exists("p")) << "a missing source makes no folders";
}
