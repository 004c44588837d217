#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/executable.h"
#include "platform/paths.h"
#include "test_support/temp_dir.h"

using test_support::ScopedEnv;
using test_support::TempDir;

TEST(Paths, HostPathAndContainment) {
  EXPECT_EQ(platform::HostPath("data\\maps\\a.dat"), "data/maps/a.dat");
  EXPECT_EQ(platform::HostPath(".\\Config.ini"), "./Config.ini");

  EXPECT_TRUE(platform::IsContainedRelativeName("Notice.html"));
  EXPECT_TRUE(platform::IsContainedRelativeName("data\\maps\\a..b.dat"));
  EXPECT_TRUE(platform::IsContainedRelativeName(".\\a"));
  EXPECT_FALSE(platform::IsContainedRelativeName(""));
  EXPECT_FALSE(platform::IsContainedRelativeName("\\Windows\\a"));
  EXPECT_FALSE(platform::IsContainedRelativeName("/etc/passwd"));
  EXPECT_FALSE(platform::IsContainedRelativeName("C:\\a"));
  EXPECT_FALSE(platform::IsContainedRelativeName("C:a"));
  EXPECT_FALSE(platform::IsContainedRelativeName(".."));
  EXPECT_FALSE(platform::IsContainedRelativeName("data\\..\\..\\a"));
  EXPECT_FALSE(platform::IsContainedRelativeName("data/../a"));
  EXPECT_FALSE(platform::IsContainedRelativeName("data\\.."));
}

TEST(Paths, BaseNameOfModule) {
  EXPECT_EQ(platform::BaseNameOfModule("C:\\Games\\Mirvale\\Update.exe"), "Update");
  EXPECT_EQ(platform::BaseNameOfModule("C:Update.exe"), "Update");
  EXPECT_EQ(platform::BaseNameOfModule("/opt/mirvale/Update"), "Update");
  EXPECT_EQ(platform::BaseNameOfModule("/opt/mirvale/Update.old.exe"), "Update.old");
  EXPECT_EQ(platform::BaseNameOfModule("/home/p/.local/bin/Update"), "Update")
      << "a dot in a directory is no extension";
  EXPECT_EQ(platform::ExecutableBaseName(), "platform_tests");
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
