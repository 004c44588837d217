#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "files/scramble.h"
#include "files/testing/files_testing.h"
#include "files/version_file.h"
#include "test_support/temp_dir.h"
#include "scrambled.h"

using files::FileVersionRecord;
using files::ReadVersionFile;
using files::VersionFileOutcome;
using files::WriteVersionFile;
using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;

namespace {

class VersionFile : public ::testing::Test {
 protected:
  void Store(const std::string& plain) { test_support::WriteFile(dir_ / "File.ver", Scrambled(plain)); }
  VersionFileOutcome Read() { return ReadVersionFile(record_); }

  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
  FileVersionRecord record_;
};

}  // namespace

TEST_F(VersionFile, WrittenTextAndReadBack) {
  ASSERT_TRUE(WriteVersionFile(12, 3));
  EXPECT_EQ(ReadFile("File.ver"), Scrambled("1 12 3 5"));
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
  EXPECT_EQ(record_.kind, 1);
  EXPECT_EQ(record_.major, 12);
  EXPECT_EQ(record_.minor, 3);

  ASSERT_TRUE(WriteVersionFile(100, 200));
  EXPECT_EQ(ReadFile("File.ver"), Scrambled("1 100 200 64")) << "replaces the older, longer file";
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
  EXPECT_EQ(record_.minor, 200);
}

TEST_F(VersionFile, VersionsBeyondTheSignedRangeReadBackAsWritten) {
  ASSERT_TRUE(WriteVersionFile(0xFFFFFFFBu, 0));
  EXPECT_EQ(ReadFile("File.ver"), Scrambled("1 -5 0 ffffffff"));
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
  EXPECT_EQ(static_cast<std::uint32_t>(record_.major), 0xFFFFFFFBu);
  EXPECT_EQ(record_.minor, 0);

  ASSERT_TRUE(WriteVersionFile(0x7FFFFFFFu, 0x7FFFFFFFu));  // the sum wraps
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
  EXPECT_EQ(record_.major, 0x7FFFFFFF);
}

TEST_F(VersionFile, EveryOutcome) {
  EXPECT_EQ(Read(), VersionFileOutcome::Absent);

  Store("2 0 1 1");
  EXPECT_EQ(Read(), VersionFileOutcome::WrongKind);
  EXPECT_EQ(record_.kind, 2);

  Store("2 0 1 7");
  EXPECT_EQ(Read(), VersionFileOutcome::Damaged) << "the check is tested before the kind";
  Store("1 12 3 6");
  EXPECT_EQ(Read(), VersionFileOutcome::Damaged);

  Store("\t1\n12  3 0x5");  // scanf-style: any white space, hex may carry 0x
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
}

TEST_F(VersionFile, IncompleteTextIsDamaged) {
  for (const char* plain : {"", "1", "1 12 3", "1 12 3 zz", "one two three four", "1 12 - 5"}) {
    Store(plain);
    EXPECT_EQ(Read(), VersionFileOutcome::Damaged) << '"' << plain << '"';
  }
  // "0 0 0 0" has a right check and kind 0: a complete record of another kind.
  Store("0 0 0 0");
  EXPECT_EQ(Read(), VersionFileOutcome::WrongKind);
}

TEST_F(VersionFile, OnlyTheFirst256BytesCount) {
  Store(std::string(250, ' ') + "1 12 3 5");
  EXPECT_EQ(Read(), VersionFileOutcome::Damaged) << "the last fields lie past byte 256";
  Store("1 12 3 5" + std::string(300, ' ') + "garbage");
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
}

TEST_F(VersionFile, OtherNamesAndUncreatableFiles) {
  ASSERT_TRUE(WriteVersionFile(4, 5, "sub.ver"));
  EXPECT_EQ(ReadVersionFile(record_, "sub.ver"), VersionFileOutcome::Valid);
  EXPECT_EQ(record_.minor, 5);
  EXPECT_FALSE(WriteVersionFile(1, 1, "missing\\dir\\File.ver"));
  EXPECT_FALSE(WriteVersionFile(1, 1, std::string(300, 'a')));
}

// A disk that fails while File.ver is written: the old versions stay (a
// damaged File.ver would ask the player to reinstall), nothing is left beside it.
class VersionFileFaults : public VersionFile, public ::testing::WithParamInterface<files::FileOp> {};

TEST_P(VersionFileFaults, KeepTheOldVersions) {
  ASSERT_TRUE(WriteVersionFile(4, 2));
  const std::string before = ReadFile("File.ver");
  files::testing::FailFileOp(GetParam(), 1, GetParam() == files::FileOp::Write ? ENOSPC : EIO);
  const bool written = WriteVersionFile(5, 3);
  files::testing::ClearFileFaults();
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadFile("File.ver"), before);
  EXPECT_EQ(Read(), VersionFileOutcome::Valid);
  EXPECT_EQ(record_.major, 4);
  EXPECT_FALSE(std::filesystem::exists("File.ver.new"));
}

std::string OperationName(const ::testing::TestParamInfo<files::FileOp>& info) {
  static const char* const kNames[] = {"Open", "Write", "Close", "Move"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Files, VersionFileFaults,
                         ::testing::Values(files::FileOp::Open, files::FileOp::Write, files::FileOp::Close,
                                           files::FileOp::Move),
                         OperationName);

// File.ver that is a folder or a pipe is no version file: absent, at once.
TEST_F(VersionFile, SomethingElseUnderTheNameIsAbsent) {
  std::filesystem::create_directory("File.ver");
  EXPECT_EQ(Read(), VersionFileOutcome::Absent);
#ifndef _WIN32
  std::filesystem::remove("File.ver");
  ASSERT_EQ(mkfifo("File.ver", 0644), 0);
  EXPECT_EQ(Read(), VersionFileOutcome::Absent);
#endif
}
