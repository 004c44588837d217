// What the session refuses from a server before it opens any file.

#include <unistd.h>

#include "session/wire.h"
#include "session_fixture.h"

using namespace testing_session;

namespace {

struct Refusal {
  const char* name;
  Bytes afterRequest;  // what the server sends after the files-only request
};
void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

Bytes HeaderWithLength(std::uint16_t length) {
  Bytes h(12, 0);
  session::PutU16(h.data(), length);
  return h;
}

Bytes Unterminated() {
  Bytes h = session::EncodeFileHeader(1, 3, "abc");
  h.pop_back();
  session::PutU16(h.data(), static_cast<std::uint16_t>(h.size()));
  return Cat({h, Bytes{0, 0, 0}});
}

std::string AbsoluteProbe() { return "/tmp/session-absolute-" + std::to_string(getpid()); }

std::vector<Refusal> RefusalCases() {
  const Bytes list = FileList(1, 0, 3);
  return {
      {"HeaderLength9", Cat({list, HeaderWithLength(9)})},
      {"HeaderLength2049", Cat({list, HeaderWithLength(2049)})},
      {"NameWithoutNul", Cat({list, Unterminated()})},
      {"EmptyName", Cat({list, File("", 1, Body(3))})},
      {"NameOf256Bytes", Cat({list, File(std::string(256, 'n'), 1, Body(3))})},
      {"AbsoluteWithBackslash", Cat({list, File("\\x.dat", 1, Body(3))})},
      {"AbsoluteHostPath", Cat({list, File(AbsoluteProbe(), 1, Body(3))})},
      {"Drive", Cat({list, File("C:\\x.dat", 1, Body(3))})},
      {"Parent", Cat({list, File("..\\escaped.dat", 1, Body(3))})},
      {"ParentInside", Cat({list, File("a\\..\\..\\escaped.dat", 1, Body(3))})},
      {"ParentWithSlash", Cat({list, File("a/../../escaped.dat", 1, Body(3))})},
      {"NegativeBody", Cat({list, session::EncodeFileHeader(1, -5, "neg.dat")})},
  };
}

class Refusals : public ScriptedSessionTest, public ::testing::WithParamInterface<Refusal> {};

}  // namespace

TEST_P(Refusals, UnsafeHeadersAndLengthsAreRefusedBeforeAnyFileIsOpened) {
  const Refusal& r = GetParam();
  // A good file first: it stays listed, nothing after it is created.
  const Bytes good = File("good.dat", 1, Body(20));
  Bytes script = r.afterRequest;
  if (script.size() > 8 && script[0] == 1) {
    script = Cat({FileList(2, 0, 23), good, Bytes(r.afterRequest.begin() + 8, r.afterRequest.end())});
  }
  Start();
  connection_.Send(Reply(1, 0));
  connection_.Send(script);
  EXPECT_EQ(host_.messages, Messages{MessageId::MsgVersionMismatch});
  EXPECT_TRUE(host_.ended);
  EXPECT_FALSE(connection_.IsOpen());
  const std::vector<std::string> expected =
      script.size() > good.size() ? std::vector<std::string>{"good.dat.gz"} : std::vector<std::string>{};
  EXPECT_EQ(WorkFiles(), expected);
  EXPECT_TRUE(OutsideEntries().empty());
  EXPECT_FALSE(std::filesystem::exists(AbsoluteProbe() + ".gz"));
}

INSTANTIATE_TEST_SUITE_P(Session, Refusals, ::testing::ValuesIn(RefusalCases()),
                         [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ScriptedSessionTest, NoticeLongerThanTheLimitIsRefused) {
  Bytes length(4);
  session::PutU32(length.data(), 0x80000000u);
  Start();
  connection_.Send(Reply(1, 0, 0, 777));
  EXPECT_EQ(connection_.TakeSent()[0], session::RequestNoticeAndFiles);
  connection_.Send(Cat({length, ToBytes(std::string("<p>"))}));
  EXPECT_EQ(host_.messages, Messages{MessageId::MsgVersionMismatch});
  EXPECT_TRUE(host_.ended);
  EXPECT_FALSE(std::filesystem::exists("Notice.html"));
}

TEST_F(ScriptedSessionTest, FileThatCannotBeCreatedEndsTheWindowWithItsName) {
  std::filesystem::create_directory("blocked.dat.gz");  // a folder where the file should go
  Start();
  connection_.Send(Reply(1, 0));
  connection_.Send(Cat({FileList(1, 0, 3), File("blocked.dat", 1, Body(3))}));
  EXPECT_EQ(host_.cannotCreate, std::vector<std::string>{"blocked.dat.gz"});
  EXPECT_TRUE(host_.messages.empty());
  EXPECT_TRUE(host_.ended);
  EXPECT_TRUE(outcome_.receivedNames.empty());
}


