// The file helpers on Windows: the read-only attribute is cleared by
// SetFileAttributesA before a write or a move is tried again.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>

#include "files/file_helpers.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

class FileHelpersWindows : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentDirectory cwd_{dir_.path()};
};

bool IsReadOnly(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

TEST_F(FileHelpersWindows, OpenForWriteClearsTheReadOnlyAttribute) {
  WriteFile("readonly.dat", "old");
  ASSERT_TRUE(SetFileAttributesA("readonly.dat", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  if (std::FILE* plain = std::fopen("readonly.dat", "ab")) {
    std::fclose(plain);
    GTEST_SKIP() << "this system writes read-only files anyway (Wine run by root); "
                    "scripts/test-windows runs this suite as an ordinary user";
  }
  files::File file = files::OpenForWriteWithRetry("readonly.dat");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.WriteAll("new", 3));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(ReadFile("readonly.dat"), "new");
  EXPECT_FALSE(IsReadOnly("readonly.dat"));
}

TEST_F(FileHelpersWindows, MoveReplacesAReadOnlyFileAndCreatesTheFolder) {
  WriteFile("a", "new");
  WriteFile("b", "old");
  ASSERT_TRUE(SetFileAttributesA("b", FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(files::MoveFileWithRetry("a", "b"));
  EXPECT_EQ(ReadFile("b"), "new");
  EXPECT_FALSE(fs::exists("a"));

  EXPECT_TRUE(files::MoveFileWithRetry("b", "x\\y\\b"));
  EXPECT_EQ(ReadFile("x\\y\\b"), "new");
  EXPECT_FALSE(files::MoveFileWithRetry("missing", "p\\q"));
  EXPECT_FALSE(fs::exists("p")) << "a missing source makes no folders";
}

TEST_F(FileHelpersWindows, PathsOfTwoHundredSixtyCharactersFail) {
  const std::string name = std::string(259, 'f') + "g";
  SetLastError(0);
  EXPECT_FALSE(files::OpenForWriteWithRetry(name).IsOpen());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_FALSE(files::CreateParentDirectories(std::string(200, 'd') + "\\" + std::string(60, 'f')));
  EXPECT_FALSE(files::MoveFileWithRetry("a", name));
  EXPECT_FALSE(files::UnscrambleFile(name, "out.lst"));
}
