#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/single_instance.h"
#include "test_support/temp_dir.h"

using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteFile;

TEST(SingleInstance, OneHolderPerNameUntilItEnds) {
  TempDir runtime;
  ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().c_str());

  // A child takes the guard and waits until told to end.
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(toChild[1]);
    const char result = platform::AcquireSingleInstance("Update") == 0 ? 'y' : 'n';
    (void)!write(fromChild[1], &result, 1);
    char ignored;
    (void)!read(toChild[0], &ignored, 1);
    _exit(0);
  }
  char result = 0;
  ASSERT_EQ(read(fromChild[0], &result, 1), 1);
  EXPECT_EQ(result, 'y');

  EXPECT_EQ(platform::AcquireSingleInstance("Update"), EWOULDBLOCK);
  EXPECT_EQ(platform::AcquireSingleInstance("Update-copy"), 0) << "another name is not stopped";

  close(toChild[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(platform::AcquireSingleInstance("Update"), 0) << "released when its holder ended";
  EXPECT_NE(platform::AcquireSingleInstance("Update"), 0) << "and now held by this process";
}

TEST(SingleInstance, NoUsableFolderIsAFailure) {
  TempDir base;
  WriteFile(base / "file", "");
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv cache("XDG_CACHE_HOME", (base / "file").c_str());
  ScopedEnv tmp("TMPDIR", (base / "missing").c_str());
  EXPECT_NE(platform::AcquireSingleInstance("Update"), 0);
}
