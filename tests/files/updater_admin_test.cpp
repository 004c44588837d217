// updater-admin as an operator runs it: exit statuses, output and files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "files/scramble.h"
#include "files/version_file.h"
#include "test_support/temp_dir.h"

using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

struct Result {
  int status;
  std::string out;
};

Result Admin(const std::string& arguments) {
  Result result{-1, {}};
  FILE* pipe = popen((std::string(UPDATER_ADMIN) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) result.out += buffer;
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class UpdaterAdmin : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
};

}  // namespace

TEST_F(UpdaterAdmin, VersionWriteAndShow) {
  EXPECT_EQ(Admin("version-show").out, "absent\n");
  EXPECT_EQ(Admin("version-show").status, 0);

  ASSERT_EQ(Admin("version-write 12 3").status, 0);
  std::string plain = ReadFile("File.ver");
  files::UnscrambleText(plain.data());
  EXPECT_EQ(plain, "1 12 3 5");
  EXPECT_EQ(Admin("version-show").out, "valid 12 3\n");

  ASSERT_EQ(Admin("version-write 4294967291 0 other.ver").status, 0);
  const Result big = Admin("version-show other.ver");
  EXPECT_EQ(big.out, "valid 4294967291 0\n");
  EXPECT_EQ(big.status, 0);

  std::string wrongKind = "2 0 1 1";
  files::ScrambleText(wrongKind.data());
  WriteFile("kind.ver", wrongKind);
  EXPECT_EQ(Admin("version-show kind.ver").out, "wrong-kind\n");
  EXPECT_EQ(Admin("version-show kind.ver").status, 1);
  WriteFile("empty.ver", "");
  EXPECT_EQ(Admin("version-show empty.ver").out, "damaged\n");
  EXPECT_EQ(Admin("version-show empty.ver").status, 1);
}

TEST_F(UpdaterAdmin, ScrambleRoundTripAndRefusals) {
  const std::string list = "[Server]\nCount=1\nName0=서울\nIP0=10.0.0.1\n";
  WriteFile("Server.txt", list);
  ASSERT_EQ(Admin("scramble Server.txt Server.cnv").status, 0);
  EXPECT_NE(ReadFile("Server.cnv"), list);
  EXPECT_EQ(ReadFile("Server.cnv").size(), list.size());
  ASSERT_EQ(Admin("unscramble Server.cnv back.txt").status, 0);
  EXPECT_EQ(ReadFile("back.txt"), list);

  WriteFile("zero.txt", std::string("a\0b", 3));
  const Result zero = Admin("scramble zero.txt out.cnv");
  EXPECT_EQ(zero.status, 1);
  EXPECT_NE(zero.out.find("0x00 at offset 1"), std::string::npos) << zero.out;

  const Result missing = Admin("unscramble nothing.cnv out.txt");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("nothing.cnv"), std::string::npos);
  EXPECT_EQ(missing.out.find('\n'), missing.out.size() - 1) << "one line";
}

TEST_F(UpdaterAdmin, BadArguments) {
  for (const char* args : {"", "frobnicate", "scramble onlyone", "version-write 1",
                           "version-write -1 2", "version-write 1 4294967296",
                           "version-write 1 2x", "version-show a b"}) {
    const Result r = Admin(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out.rfind("updater-admin: ", 0), 0u) << args;
  }
  const Result help = Admin("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("version-write MAJOR MINOR [FILE]"), std::string::npos);
  EXPECT_EQ(Admin("version-write 1 2 'no/such/dir/File.ver'").status, 1);
}
