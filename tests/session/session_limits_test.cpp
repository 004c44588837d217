// The download-size limit and the redirect apply only to a connection whose
// own address is not 127.0.0.1: here the scripted connection is made from
// 192.0.2.1, the first server and the redirect targets being 192.0.2.x.

#include "session_fixture.h"

using namespace testing_session;

namespace {

constexpr std::uint32_t kFirst = 0x010200C0;     // 192.0.2.1
constexpr std::uint32_t kTarget = 0x020200C0;    // 192.0.2.2
constexpr std::uint32_t kRefusing = 0x030200C0;  // 192.0.2.3

class SessionFromAfar : public ScriptedSessionTest {
 protected:
  void StartFromAfar() {
    connection_.localAddress = kFirst;
    Start("192.0.2.1", "", 4000);
  }
};

}  // namespace

// Exactly the limit is accepted, one byte more is refused with message 6;
// the limit also holds for what the file headers announce, whatever the
// file list promised: the header that would pass it is refused before its
// file is opened. A negative total only leaves the total bar wrong: it is no
// reason to refuse, and the headers' limit still holds.
TEST_F(SessionFromAfar, SizeLimitOnTheListAndOnTheHeaders) {
  struct Case {
    std::int32_t listed, secondBody;
    bool accepted;
  } cases[] = {
      {104857600, 0, true},
      {104857601, 0, false},
      {1, 104857600 - 4, true},
      {1, 104857600 - 3, false},
      {-1, 0, true},
      {-1, 104857600 - 4, true},
      {-2000000000, 104857600 - 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.listed << " " << c.secondBody);
    Reset();
    StartFromAfar();
    connection_.Send(Reply(1, 0));
    connection_.Send(Cat({FileList(2, 0, c.listed), File("one.dat", 1, Body(4)),
                          session::EncodeFileHeader(2, c.secondBody, "two.dat"), Body(4096)}));
    if (c.accepted) {
      EXPECT_TRUE(host_.messages.empty());
      EXPECT_TRUE(std::filesystem::exists("two.dat.gz"));
    } else {
      EXPECT_EQ(host_.messages, Messages{MessageId::MsgTooManyFiles});
      EXPECT_TRUE(host_.ended);
      EXPECT_FALSE(std::filesystem::exists("two.dat.gz"));
    }
    EXPECT_EQ(std::filesystem::exists("one.dat.gz"), c.listed <= 104857600);
    session_.reset();
    std::filesystem::remove("one.dat.gz");
    std::filesystem::remove("two.dat.gz");
  }
}

// A redirect drops the connection and starts over at the target's port
// 43001; a target that refuses ends the window with message 2, as does a
// system that gives no new endpoint (without a message).
TEST_F(SessionFromAfar, RedirectStartsOverAtTheTarget) {
  StartFromAfar();
  connection_.Send(Reply(2, 0, kTarget));
  EXPECT_TRUE(connection_.TakeSent().empty());
  EXPECT_EQ(connection_.connections(), (std::vector<std::string>{"192.0.2.1:4000", "192.0.2.2:43001"}));
  connection_.Send(Reply(1, 0));
  EXPECT_EQ(connection_.TakeSent(), FilesOnly(0, 0));
  connection_.Send(Cat({FileList(1, 0, 4), File("moved.dat", 1, Body(4))}));
  EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"moved.dat"});
  EXPECT_TRUE(host_.messages.empty());

  Reset();
  connection_.Refuse("192.0.2.3");
  StartFromAfar();
  connection_.Send(Reply(2, 0, kRefusing));
  EXPECT_EQ(host_.log, (std::vector<std::string>{"message 2", "end"}));

  Reset();
  StartFromAfar();
  connection_.createFails = true;
  connection_.Send(Reply(2, 0, kTarget));
  EXPECT_EQ(host_.log, std::vector<std::string>{"end"});
}

// Servers that redirect to themselves or to each other: eight redirects
// are followed, the ninth is met with message 2 as a target that does not
// connect.
TEST_F(SessionFromAfar, RedirectLoopsEndAfterEightRedirects) {
  for (const bool toEachOther : {false, true}) {
    SCOPED_TRACE(toEachOther ? "to each other" : "to itself");
    Reset();
    StartFromAfar();
    for (int i = 0; i < 20 && !host_.ended; ++i) {
      connection_.Send(Reply(2, 0, toEachOther && i % 2 == 0 ? kTarget : kFirst));
    }
    EXPECT_EQ(host_.messages, Messages{MessageId::MsgConnectFailed});
    EXPECT_EQ(connection_.connections().size(), 1u + session::UpdateSession::kMaxRedirects);
    EXPECT_EQ(connection_.connections()[1], toEachOther ? "192.0.2.2:43001" : "192.0.2.1:43001");
  }
}
