// The Windows services themselves: the named mutex, Winsock 1.1, the
// temporary directory, the system's error texts and backslash names.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include "platform/paths.h"
#include "platform/single_instance.h"
#include "platform/socket_layer.h"
#include "platform/system_error.h"

TEST(SingleInstance, OneHolderPerName) {
  // The guard holds its handle for the life of the process, so a second
  // request for the same name meets the mutex already there.
  EXPECT_EQ(platform::AcquireSingleInstance("MirvaleGuardTest"), 0);
  EXPECT_EQ(platform::AcquireSingleInstance("MirvaleGuardTest"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(platform::AcquireSingleInstance("MirvaleGuardTest-copy"), 0)
      << "another name is not stopped";
}

TEST(SystemError, TextOfTheLastError) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::LastSystemError(), ERROR_FILE_NOT_FOUND);
  const std::string text = platform::SystemErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
  EXPECT_NE(text.back(), '\n') << "no line break at the end";
  EXPECT_FALSE(platform::SystemErrorText(WSAECONNREFUSED).empty());
  EXPECT_EQ(platform::SystemErrorText(0), "");
}

TEST(SocketLayer, GrantsVersionOnePointOne) {
  ASSERT_TRUE(platform::StartSocketLayer());
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(s, INVALID_SOCKET);
  closesocket(s);
}

TEST(Paths, NamesAreHostPathsAndTheTemporaryDirectoryIsTheSystems) {
  EXPECT_EQ(platform::HostPath("data\\maps\\a.dat"), "data\\maps\\a.dat");
  char expected[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, expected);
  ASSERT_GT(length, 0u);
  const std::string dir = platform::UserTempDirectory();
  EXPECT_EQ(dir, std::string(expected, length));
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
}
