// The Windows services themselves: the named mutex, Winsock 1.1, the
// temporary directory, the system's error texts, backslash names and the
// client's start with its exact command line.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/executable.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "platform/socket_layer.h"
#include "platform/system_error.h"
#include "test_support/temp_dir.h"

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

namespace {

/// The recording client's file, waited for up to 20 s.
std::string WaitForRecord(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
      std::string text;
      char chunk[512];
      while (std::size_t n = std::fread(chunk, 1, sizeof chunk, f)) text.append(chunk, n);
      std::fclose(f);
      return text;
    }
    Sleep(100);
  }
  return {};
}

}  // namespace

TEST(StartClient, CommandLineIsTheFileNameTheArgumentsAndTheUpdatersOwnTail) {
  test_support::TempDir dir;
  // The recording client is built beside this suite.
  std::string client = platform::ExecutablePath();
  client = client.substr(0, client.find_last_of("\\/") + 1) + "record-command-line.exe";
  ASSERT_TRUE(CopyFileA(client.c_str(), (dir / "Mirvale.exe").c_str(), FALSE)) << client;
  const std::string record = dir / "record.txt";
  test_support::ScopedEnv out("RECORD_CLIENT_OUT", record.c_str());
  test_support::ScopedCurrentDirectory cwd(dir.path());

  // This program's own arguments, as the client must receive them.
  std::string ownTail;
  const std::vector<std::string> argv = ::testing::internal::GetArgvs();
  for (std::size_t i = 1; i < argv.size(); ++i) ownTail += (i > 1 ? " " : "") + argv[i];

  const platform::StartFailure failure = platform::StartClient("Mirvale.exe", "-Update /IP:192.0.2.5");
  ASSERT_EQ(failure.code, 0) << failure.text;
  const std::string recorded = WaitForRecord(record);
  const std::size_t newline = recorded.find('\n');
  ASSERT_NE(newline, std::string::npos) << recorded;
  EXPECT_EQ(recorded.substr(newline + 1), "Mirvale.exe -Update /IP:192.0.2.5 " + ownTail);
  EXPECT_EQ(platform::ClientCommandLine("Mirvale.exe", "-Update /IP:192.0.2.5"),
            "Mirvale.exe -Update /IP:192.0.2.5 " + ownTail);
  char here[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, here);
  EXPECT_EQ(recorded.substr(0, newline), here) << "the client starts in the current directory";
}

TEST(StartClient, AMissingClientGivesTheSystemsReason) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory cwd(dir.path());
  const platform::StartFailure failure = platform::StartClient("Mirvale.exe", "-Update /IP:192.0.2.5");
  EXPECT_EQ(failure.code, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(failure.text.empty());
}
