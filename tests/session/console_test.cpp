// updater-console as operators run it: a child process in a folder with a
// Config.ini, against the scripted server.

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "session_fixture.h"

using namespace testing_session;

namespace {

struct ConsoleRun {
  int status;
  std::string output;
};

ConsoleRun RunConsole() {
  const char* tool = std::getenv("UPDATER_CONSOLE");
  ConsoleRun run{-1, {}};
  if (tool == nullptr) return run;
  FILE* pipe = popen((std::string("'") + tool + "' 2>&1").c_str(), "r");
  char chunk[512];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) run.output.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
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
  const ConsoleRun run = RunConsole();
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
    const ConsoleRun run = RunConsole();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("message 5 (MsgVersionMismatch): 버전이 일치하지 안습니다."), std::string::npos)
        << run.output;
  }
  // Closed in the middle of the download: installation would run, exit 1.
  ScriptedServer server;
  server.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(2, 0, 20), File("a.dat", 1, Body(10))})).Close();
  server.Start();
  WriteFile("Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  const ConsoleRun run = RunConsole();
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("connection closed by the server"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("installation would run now for 1 file(s)"), std::string::npos) << run.output;
}
