#include <gtest/gtest.h>

#include "platform/executable.h"
#include "platform/paths.h"

TEST(Paths, Containment) {
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

