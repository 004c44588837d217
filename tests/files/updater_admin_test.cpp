// updater-admin as an operator runs it: exit statuses, output and files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "files/scramble.h"
#include "files/version_file.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"

using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

/// The tool with ARGUMENTS as a shell would split them.
test_support::RunResult Admin(const std::string& arguments) {
  return test_support::Run({"/bin/sh", "-c", std::string(UPDATER_ADMIN) + " " + arguments});
}

class UpdaterAdmin : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
};

}  // namespace

TEST_F(UpdaterAdmin, VersionWriteAndShow) {
  EXPECT_EQ(Admin("version-show").output, "absent\n");
  EXPECT_EQ(Admin("version-show").status, 0);

  ASSERT_EQ(Admin("version-write 12 3").status, 0);
  std::string plain = ReadFile("File.ver");
  files::UnscrambleText(plain.data());
  EXPECT_EQ(plain, "1 12 3 5");
  EXPECT_EQ(Admin("version-show").output, "valid 12 3\n");

  ASSERT_EQ(Admin("version-write 4294967291 0 other.ver").status, 0);
  const test_support::RunResult big = Admin("version-show other.ver");
  EXPECT_EQ(big.output, "valid 4294967291 0\n");
  EXPECT_EQ(big.status, 0);

  std::string wrongKind = "2 0 1 1";
  files::ScrambleText(wrongKind.data());
  WriteFile("kind.ver", wrongKind);
  EXPECT_EQ(Admin("version-show kind.ver").output, "wrong-kind\n");
  EXPECT_EQ(Admin("version-show kind.ver").status, 1);
  WriteFile("empty.ver", "");
  EXPECT_EQ(Admin("version-show empty.ver").output, "damaged\n");
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
  const test_support::RunResult zero = Admin("scramble zero.txt out.cnv");
  EXPECT_EQ(zero.status, 1);
  EXPECT_NE(zero.output.find("0x00 at offset 1"), std::string::npos) << zero.output;

  const test_support::RunResult missing = Admin("unscramble nothing.cnv out.txt");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("nothing.cnv"), std::string::npos);
  EXPECT_EQ(missing.output.find('\n'), missing.output.size() - 1) << "one line";
}

TEST_F(UpdaterAdmin, BadArguments) {
  for (const char* args : {"", "frobnicate", "scramble onlyone", "version-write 1",
                           "version-write -1 2", "version-write 1 4294967296",
                           "version-write 1 2x", "version-show a b"}) {
    const test_support::RunResult r = Admin(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.output.rfind("updater-admin: ", 0), 0u) << args;
  }
  const test_support::RunResult help = Admin("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("version-write MAJOR MINOR [FILE]"), std::string::npos);
  EXPECT_EQ(Admin("version-write 1 2 'no/such/dir/File.ver'").status, 1);
}
