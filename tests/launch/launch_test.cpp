// The start of the game client without a window: the server list as the
// selection shows it, and the client started in its own folder with the
// chosen address.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/file_helpers.h"
#include "files/scramble.h"
#include "launch/client_launch.h"
#include "launch/server_list.h"
#include "platform/paths.h"
#include "test_support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using launch::ServerEntry;

/// TEXT as Server.cnv holds it.
std::string Scrambled(std::string text) {
  files::ScrambleText(text.data());
  return text;
}

struct ListCase {
  const char* what;
  const char* plain;  ///< Server.cnv before scrambling; nullptr: no Server.cnv
  std::vector<std::pair<std::string, std::uint32_t>> entries;
};

const ListCase kLists[] = {
    // A Korean name as Korean Windows writes it (CP949), the bytes kept.
    {"names and addresses in the list's order",
     "[Server]\r\nCount=2\r\nName0=North\r\nIP0=12.0.2.5\r\nName1=\xBC\xAD\r\nIP1=10.0.0.1\r\n",
     {{"North", 0x0502000Cu}, {"\xBC\xAD", 0x0100000Au}}},
    {"no address is all ones, a missing name empty",
     "[server]\r\ncount=2\r\nip0=somewhere\r\nname1=B\r\n",
     {{"", 0xFFFFFFFFu}, {"B", 0xFFFFFFFFu}}},
    {"a count beyond the entries present stops at the last",
     "[Server]\r\nCount=4000000000\r\nName0=A\r\nIP0=1.2.3.4\r\n",
     {{"A", 0x04030201u}}},
    {"no Server.cnv is an empty list", nullptr, {}},
};

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.what; }

class LoadingTheServerList : public ::testing::TestWithParam<ListCase> {};

TEST_P(LoadingTheServerList, ReadsServerCnvThroughATemporaryCopy) {
  const ListCase& c = GetParam();
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  // Tests run side by side: each reads through a Server.lst of its own.
  test_support::TempDir runtime;
  test_support::ScopedEnv ownTemp("XDG_RUNTIME_DIR", runtime.path().c_str());
  if (c.plain != nullptr) test_support::WriteFile("Server.cnv", Scrambled(c.plain));

  const std::optional<std::vector<ServerEntry>> list = launch::LoadServerList();

  ASSERT_TRUE(list.has_value());
  std::vector<std::pair<std::string, std::uint32_t>> seen;
  for (const ServerEntry& e : *list) seen.emplace_back(e.name, e.address);
  EXPECT_EQ(seen, c.entries);
  EXPECT_FALSE(fs::exists(platform::HostPath(files::MakeTempPath("Server.lst"))))
      << "the plain copy is removed";
  EXPECT_EQ(test_support::ReadFile("Server.cnv"), c.plain != nullptr ? Scrambled(c.plain) : "");
}

INSTANTIATE_TEST_SUITE_P(Lists, LoadingTheServerList, ::testing::ValuesIn(kLists));

TEST(ServerList, AListThatCannotBeReadIsNoList) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  fs::create_directory("Server.cnv");
  EXPECT_FALSE(launch::LoadServerList().has_value());
}

TEST(ClientLaunch, ArgumentsNameTheAddressInDottedDecimal) {
  EXPECT_EQ(launch::ClientArguments(0x0502000Cu), "-Update /IP:12.0.2.5");
  EXPECT_EQ(launch::ClientArguments(0xFFFFFFFFu), "-Update /IP:255.255.255.255");
}

#ifndef _WIN32
struct LaunchCase {
  const char* what;
  const char* setting;    ///< Config.ini's Client
  const char* startedIn;  ///< the folder the client runs in, below the game folder; nullptr: none starts
};

const LaunchCase kLaunches[] = {
    {"a client in the game folder", "client", ""},
    {"a client behind a folder starts in that folder", "bin\\client", "bin"},
    {"a missing folder leaves the game folder current", "missing\\client", ""},
    {"a missing client is a failure, its folder current all the same", "bin\\absent", nullptr},
};

void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.what; }

class LaunchingTheClient : public ::testing::TestWithParam<LaunchCase> {};

// The stand-ins write their folder and arguments to RECORD and name
// themselves in their first line.
TEST_P(LaunchingTheClient, StartsInItsFolderWithTheAddress) {
  const LaunchCase& c = GetParam();
  test_support::TempDir dir;
  const std::string record = dir / "record.txt";
  const std::string script =
      "#!/bin/sh\necho \"$(pwd -P) $*\" > '" + record + ".part'\nmv '" + record + ".part' '" + record + "'\n";
  fs::create_directory(dir / "bin");
  for (const std::string& where : {dir / "client", dir / "bin/client"}) {
    test_support::WriteFile(where, script);
    fs::permissions(where, fs::perms::owner_all);
  }
  test_support::ScopedCurrentDirectory inside(dir.path());

  const platform::StartFailure failure = launch::LaunchClient(c.setting, "-Update /IP:12.0.2.5");

  const std::string game = fs::canonical(dir.path()).string();
  if (c.startedIn == nullptr) {
    EXPECT_NE(failure.code, 0);
    EXPECT_FALSE(failure.text.empty());
    EXPECT_EQ(fs::current_path(), fs::path(game) / "bin");
    return;
  }
  ASSERT_EQ(failure.code, 0) << failure.text;
  const std::string folder = *c.startedIn ? game + "/" + c.startedIn : game;
  EXPECT_EQ(fs::current_path(), fs::path(folder)) << "the updater follows the client's folder";
  for (int i = 0; i < 500 && !fs::exists(record); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test_support::ReadFile(record), folder + " -Update /IP:12.0.2.5\n");
}

INSTANTIATE_TEST_SUITE_P(Settings, LaunchingTheClient, ::testing::ValuesIn(kLaunches));
#endif

}  // namespace
