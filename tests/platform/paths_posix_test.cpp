// The POSIX side of the path services: backslash names mapped to host
// paths, and a private temporary folder of our own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/paths.h"
#include "test_support/temp_dir.h"

using test_support::ScopedEnv;
using test_support::TempDir;

TEST(Paths, HostPathUsesSlashes) {
  EXPECT_EQ(platform::HostPath("data\\maps\\a.dat"), "data/maps/a.dat");
  EXPECT_EQ(platform::HostPath(".\\Config.ini"), "./Config.ini");
}

TEST(Paths, UserTempDirectoryIsPrivate) {
  TempDir base;
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv tmp("TMPDIR", base.path().c_str());
  const std::string dir = platform::UserTempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.rfind(base.path() + "/", 0), 0u);
  EXPECT_EQ(dir.back(), '/');
  struct stat st {};
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);
  EXPECT_EQ(st.st_uid, geteuid());

  // Widened by someone: narrowed again. Replaced by a link: refused.
  chmod(dir.c_str(), 0777);
  EXPECT_EQ(platform::UserTempDirectory(), dir);
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(base / "elsewhere");
  std::filesystem::create_directory_symlink(base / "elsewhere", dir.substr(0, dir.size() - 1));
  EXPECT_EQ(platform::UserTempDirectory(), "");
}

TEST(Paths, UserTempDirectoryPrefersAPrivateRuntimeDirectory) {
  TempDir runtime;
  chmod(runtime.path().c_str(), 0700);
  ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().c_str());
  EXPECT_EQ(platform::UserTempDirectory().rfind(runtime.path() + "/", 0), 0u);

  chmod(runtime.path().c_str(), 0777);  // shared: not used, and not changed either
  EXPECT_NE(platform::UserTempDirectory().rfind(runtime.path() + "/", 0), 0u);
  struct stat st {};
  ASSERT_EQ(stat(runtime.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
}
