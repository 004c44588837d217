// The current directory as the notice view's path is built from it: the
// directory made current, the separator of the platform between it and the
// page, and, when the directory cannot be read, an empty answer whose last
// system error has a text for the player's message box.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/current_directory.h"
#include "platform/system_error.h"
#include "test_support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

TEST(CurrentDirectory, IsTheDirectoryMadeCurrent) {
  test_support::TempDir dir;
  fs::create_directory(dir / "game folder");
  test_support::ScopedCurrentDirectory cwd(dir / "game folder");
  const std::string current = platform::CurrentDirectory();
  EXPECT_TRUE(fs::equivalent(current, dir / "game folder")) << current;
  EXPECT_TRUE(fs::path(current).is_absolute()) << current;
}

struct JoinCase {
  const char* directory;
  const char* joined;
};

class JoinDirectory : public testing::TestWithParam<JoinCase> {};

TEST_P(JoinDirectory, PutsOneSeparatorBeforeTheName) {
  EXPECT_EQ(platform::JoinDirectory(GetParam().directory, "Notice.html"), GetParam().joined);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Windows, JoinDirectory,
                         testing::Values(JoinCase{"C:\\Games\\Mirvale", "C:\\Games\\Mirvale\\Notice.html"},
                                         JoinCase{"C:\\", "C:\\Notice.html"},
                                         JoinCase{"\\\\server\\share\\game\\", "\\\\server\\share\\game\\Notice.html"}));
#else
INSTANTIATE_TEST_SUITE_P(Posix, JoinDirectory,
                         testing::Values(JoinCase{"/home/p/Mirvale", "/home/p/Mirvale/Notice.html"},
                                         JoinCase{"/", "/Notice.html"}));
#endif

TEST(CurrentDirectory, ThatCannotBeReadLeavesTheSystemsReason) {
#ifdef _WIN32
  // A directory deeper than the 260 characters the program's paths hold,
  // made and entered through the system's long-path form.
  test_support::TempDir dir;
  // (No '/' in that form: the system takes the name as it is.)
  std::wstring deep = L"\\\\?\\" + fs::absolute(dir.path()).make_preferred().wstring();
  while (deep.size() < 300) {
    deep += L"\\" + std::wstring(60, L'd');
    if (!CreateDirectoryW(deep.c_str(), nullptr)) GTEST_SKIP() << "no long paths here";
  }
  const std::wstring previous = fs::current_path().wstring();
  if (!SetCurrentDirectoryW(deep.c_str())) GTEST_SKIP() << "no long current directory here";
  SetLastError(0);
  const std::string current = platform::CurrentDirectory();
  const int error = platform::LastSystemError();
  SetCurrentDirectoryW(previous.c_str());
  EXPECT_EQ(current, "");
  EXPECT_EQ(error, ERROR_FILENAME_EXCED_RANGE);
#else
  // The directory the player started in was removed meanwhile.
  test_support::TempDir dir;
  fs::create_directory(dir / "gone");
  test_support::ScopedCurrentDirectory cwd(dir / "gone");
  fs::remove(dir / "gone");
  errno = 0;
  const std::string current = platform::CurrentDirectory();
  const int error = platform::LastSystemError();
  EXPECT_EQ(current, "");
  EXPECT_EQ(error, ENOENT);
#endif
  EXPECT_FALSE(platform::SystemErrorText(error).empty());
}

}  // namespace
