// What a hostile or careless server can send, and what the game folder then
// holds: each case states the listing and the files it must leave.

#include "files/file_helpers.h"
#include "session_fixture.h"

using namespace testing_session;

// The same name twice in one list: one download (the later body), listed once,
// so the installation does not fail on a second entry for it every time.
TEST_F(SessionTest, ANameSentTwiceIsListedOnce) {
  ScriptedServer server;
  server.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(3, 0, 12), File("a.dat", 1, Body(4, 1)),
                                               File("b.dat", 2, Body(4, 2)), File("a.dat", 3, Body(4, 3))}));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_EQ(outcome_.receivedNames, (std::vector<std::string>{"a.dat", "b.dat"}));
  const Bytes later = Body(4, 3);
  EXPECT_EQ(ReadFile("a.dat.gz"), std::string(later.begin(), later.end()));
  EXPECT_EQ(outcome_.versions[0], 3u);
}
