// updater-console as operators run it: a child process in a folder with a
// Config.ini, against the scripted server.

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "socket_fixture.h"
#include "test_support/process.h"

using namespace testing_session;

namespace {

/// The tool in the current directory with ARGUMENTS as a shell would split them.
test_support::RunResult RunConsole(const std::string& arguments = "") {
  const char* tool = std::getenv("UPDATER_CONSOLE");
  if (tool == nullptr) return {};
  return test_support::Run({"/bin/sh", "-c", std::string("'") + tool + "' " + arguments});
}

}  // namespace

TEST_F(SessionTest, ConsoleReportsEachEventAndExitsZeroWhenComplete) {
  ASSERT_NE(std::getenv("UPDATER_CONSOLE"), nullptr);
  ScriptedServer server;
  server.Send(Reply(1, 2, 0, 1000)).Expect(9)
      .Send(Cat({Notice("<b>n</b>"), FileList(1, 1, 7), File("Update.exe", 1, Body(3)),
                 File("sub\\b.dat", 2, Body(4))}));
  server.Start();
  WriteFile("Config.ini", "[Update]\nIP1=\nIP2=127.0.0.1\nPort=" + std::to_string(server.port()) + "\n");
  const test_support::RunResult run = RunConsole();
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* line : {"connected to 127.0.0.1:", "versions: server 1 2, installed 0 0",
                           "request notice and files with 0 0", "notice written: Notice.html, 8 bytes",
                           "file list: 1 major file(s), 1 minor file(s), 7 bytes",
                           "file started: Update0.exe.gz, 3 bytes, version 1",
                           "file completed: sub\\b.dat.gz", "complete\n",
                           "installation would run now for 2 file(s), versions 1 2"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_TRUE(std::filesystem::exists("sub/b.dat.gz"));
}

TEST_F(SessionTest, ConsoleExitsOneAfterAFailureWithTheMessageText) {
  ASSERT_NE(std::getenv("UPDATER_CONSOLE"), nullptr);
  {
    ScriptedServer server;
    server.Send(Reply(1, 2, 0, 0, 7));
    server.Start();
    WriteFile("Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
    const test_support::RunResult run = RunConsole();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("message 5 (MsgVersionMismatch): 버전이 일치하지 안습니다."), std::string::npos)
        << run.output;
  }
  // Closed in the middle of the download: installation would run, exit 1.
  ScriptedServer server;
  server.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(2, 0, 20), File("a.dat", 1, Body(10))})).Close();
  server.Start();
  WriteFile("Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  const test_support::RunResult run = RunConsole();
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("connection closed by the server"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("installation would run now for 1 file(s)"), std::string::npos) << run.output;
}

// A server that goes silent (three files announced, one sent) does not keep
// the console waiting; names are printed with control characters escaped.
TEST_F(SessionTest, ConsoleGivesUpOnASilentServerAndEscapesNames) {
  ASSERT_NE(std::getenv("UPDATER_CONSOLE"), nullptr);
  ScriptedServer server;
  server.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(3, 0, 12), File("a\x1b[2Jb.dat", 1, Body(4))}));
  server.Start();
  WriteFile("Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  const test_support::RunResult run = RunConsole("--idle-timeout 1");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("file completed: a\\x1B[2Jb.dat.gz"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
  EXPECT_NE(run.output.find("no data from the server for 1 s: giving up"), std::string::npos) << run.output;
}

// --install installs what was received, as the window's OK button does, and
// records the versions; a file that cannot be installed makes it exit 1.
TEST_F(SessionTest, ConsoleInstallsWhatItReceived) {
  ASSERT_NE(std::getenv("UPDATER_CONSOLE"), nullptr);
  const Bytes gz = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 0xcb, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00,
                    0x86, 0xa6, 0x10, 0x36, 0x05, 0, 0, 0};  // "hello"
  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken ? "a broken download" : "a good download");
    ScriptedServer server;
    const Bytes second = broken ? Body(9) : gz;
    server.Send(Reply(broken ? 3 : 2, 0)).Expect(9).Send(
        Cat({FileList(2, 0, static_cast<std::int32_t>(gz.size() + second.size())), File("sub\\one.txt", 1, gz),
             File("two.txt", 2, second)}));
    server.Start();
    WriteFile("Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
    const test_support::RunResult run = RunConsole("--install");
    EXPECT_EQ(ReadFile("sub/one.txt"), "hello");
    if (broken) {
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_NE(run.output.find("message: Can't decompress two.txt.gz"), std::string::npos) << run.output;
      EXPECT_NE(ReadFile("File.ver"), "") << "kept from the first case";
    } else {
      EXPECT_EQ(run.status, 0) << run.output;
      EXPECT_EQ(ReadFile("two.txt"), "hello");
      EXPECT_NE(run.output.find("installed: sub\\one.txt\ninstalled: two.txt\nversions recorded: 2 0"),
                std::string::npos)
          << run.output;
    }
  }
}
