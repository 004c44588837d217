// The update session core over a scripted connection: how messages arrive
// in pieces, what the session decides, what it writes and reports.

#include <sys/stat.h>
#include <utime.h>

#include <functional>

#include "files/scramble.h"
#include "files/version_file.h"
#include "session_fixture.h"

using namespace testing_session;
using session::UpdateSession;

namespace {

void SetMtime(const std::string& path, long seconds) {
  utimbuf t{seconds, seconds};
  ASSERT_EQ(utime(path.c_str(), &t), 0);
}

long Mtime(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}


}  // namespace

TEST_F(ScriptedSessionTest, FullDownloadInSmallPiecesWritesNoticeAndFilesAndMovesVersions) {
  ASSERT_TRUE(files::WriteVersionFile(3, 7));
  const Bytes a = Body(3000, 1), c = Body(2100, 3);
  Start();
  connection_.SendInPieces(Reply(4, 9, 0, 1000000), 1);
  EXPECT_EQ(connection_.TakeSent(), (Bytes{0x41, 3, 0, 0, 0, 7, 0, 0, 0}));
  connection_.SendInPieces(
      Cat({Notice("<p>notice</p>"), FileList(1, 2, 5100), session::EncodeFileHeader(4, 3000, "Update.exe")}),
      1);
  connection_.SendInPieces(a, 700);
  connection_.SendInPieces(Cat({File("data\\maps\\a.dat", 8, {}), File("File.ver", 9, c)}), 1);

  EXPECT_EQ(ReadFile("Notice.html"), "<p>notice</p>");
  EXPECT_EQ(Mtime("Notice.html"), 1000000);
  EXPECT_EQ(ToBytes(ReadFile("Update0.exe.gz")), a);
  EXPECT_EQ(ReadFile("data/maps/a.dat.gz"), "");
  EXPECT_EQ(ToBytes(ReadFile("null.dat.gz")), c);
  EXPECT_EQ(outcome_.receivedNames,
            (std::vector<std::string>{"Update0.exe", "data\\maps\\a.dat", "null.dat"}));
  EXPECT_EQ(outcome_.versions, (std::array<std::uint32_t, 2>{4, 9}));
  EXPECT_EQ(session_->progress(), UpdateSession::Progress::Complete);
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_TRUE(host_.messages.empty());
  EXPECT_FALSE(host_.ended);
  EXPECT_EQ(host_.totalRange, 5100);
  EXPECT_EQ(host_.fileRanges, (std::vector<std::int32_t>{3000, 0, 2100}));
  EXPECT_EQ(host_.advanced, 5100);
  // The last refresh, before the last file was listed: 3/3, both bars full.
  EXPECT_EQ(session::FormatCount(host_.lastTexts.fileNumber, host_.lastTexts.fileCount), "3/3");
  EXPECT_EQ(session::FormatCount(host_.lastTexts.currentPosition, host_.lastTexts.currentUpper), "2100/2100");
  EXPECT_EQ(session::FormatCount(host_.lastTexts.totalPosition, host_.lastTexts.totalUpper), "5100/5100");
  EXPECT_TRUE(OutsideEntries().empty());
}

TEST_F(ScriptedSessionTest, VersionReplySplitOrWithBytesGluedBehind) {
  // Split 10 + 7: the first 10 bytes wait at the start of the buffer.
  const Bytes reply = Reply(1, 0);
  Start();
  connection_.Send(Bytes(reply.begin(), reply.begin() + 10));
  EXPECT_TRUE(connection_.TakeSent().empty());
  connection_.Send(Bytes(reply.begin() + 10, reply.end()));
  EXPECT_EQ(connection_.TakeSent(), FilesOnly(0, 0));
  connection_.Send(FileList(0, 0, 0));
  EXPECT_EQ(host_.collapses, 1);

  // Bytes glued behind the reply are dropped; here they look like a file
  // list announcing a file, which must not be taken.
  Reset();
  Start();
  connection_.Send(Cat({Reply(1, 0), FileList(1, 0, 5)}));
  EXPECT_EQ(connection_.TakeSent(), FilesOnly(0, 0));
  connection_.Send(FileList(0, 0, 0));
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_TRUE(outcome_.receivedNames.empty());
}

TEST_F(ScriptedSessionTest, FileHeaderSplitOverReceivesIsCompletedFromKeptBytes) {
  const Bytes body = Body(5000, 7);
  const Bytes file = File("dir\\split.bin", 12, body);
  for (std::size_t cut : {1u, 5u, 11u, 20u}) {
    SCOPED_TRACE(cut);
    Reset();
    Start();
    connection_.Send(Reply(0, 1));
    connection_.Send(Cat({FileList(0, 1, 5000), Bytes(file.begin(), file.begin() + cut)}));
    connection_.Send(Bytes(file.begin() + cut, file.end()));
    EXPECT_EQ(ToBytes(ReadFile("dir/split.bin.gz")), body);
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"dir\\split.bin"});
    EXPECT_EQ(outcome_.versions[1], 12u);
    EXPECT_EQ(host_.collapses, 1);
  }
}

TEST_F(ScriptedSessionTest, ZeroLengthNoticeAndBodyAndZeroFiles) {
  Start();
  connection_.Send(Reply(0, 1, 0, 1234567));
  EXPECT_EQ(connection_.TakeSent()[0], session::RequestNoticeAndFiles);
  connection_.Send(Cat({Notice(""), FileList(0, 1, 0), File("e.dat", 6, {})}));
  EXPECT_EQ(ReadFile("Notice.html"), "");
  EXPECT_EQ(Mtime("Notice.html"), 1234567);
  EXPECT_EQ(ReadFile("e.dat.gz"), "");
  EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"e.dat"});
  EXPECT_EQ(outcome_.versions[1], 6u);
  EXPECT_EQ(host_.collapses, 1);
}

TEST_F(ScriptedSessionTest, NoticeTimeStampDecidesWhetherTheNoticeIsAskedFor) {
  struct Case {
    bool localPage;
    std::int32_t serverTime;
    bool upToDate;  // with versions equal
  } cases[] = {
      {true, 1000001, true},                          // within a second: current
      {true, 999999, true},  {true, 1000002, false},  // two seconds: stale
      {true, 0, true},                                // no server notice: local page deleted
      {false, 0, true},      {false, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.localPage << " " << c.serverTime);
    Reset();
    std::filesystem::remove("Notice.html");
    if (c.localPage) {
      WriteFile("Notice.html", "old");
      SetMtime("Notice.html", 1000000);
    }
    ASSERT_TRUE(files::WriteVersionFile(2, 2));
    Start();
    connection_.Send(Reply(2, 2, 0, c.serverTime));
    if (c.upToDate) {
      EXPECT_TRUE(connection_.TakeSent().empty());
      EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
    } else {
      EXPECT_EQ(connection_.TakeSent(), (Bytes{0x41, 2, 0, 0, 0, 2, 0, 0, 0}));
      connection_.Send(Cat({Notice("new"), FileList(0, 0, 0)}));
      EXPECT_EQ(ReadFile("Notice.html"), "new");
    }
    EXPECT_EQ(std::filesystem::exists("Notice.html"), c.serverTime != 0);
    EXPECT_EQ(host_.collapses, 1);
  }
  // Versions behind but notice current: files only, and the page is shown.
  Reset();
  SetMtime("Notice.html", 1000000);
  Start();
  connection_.Send(Reply(3, 2, 0, 1000000));
  EXPECT_EQ(connection_.TakeSent(), FilesOnly(2, 2));
  EXPECT_EQ(host_.notices, 2);
}

// The installed versions against the server's, each pair on its own.
struct Comparison {
  const char* name;
  int installedMajor, installedMinor;  // -1: no File.ver
  std::uint32_t serverMajor, serverMinor;
  bool request;
};
void PrintTo(const Comparison& c, std::ostream* out) { *out << c.name; }

class VersionComparisons : public ScriptedSessionTest, public ::testing::WithParamInterface<Comparison> {};

TEST_P(VersionComparisons, DecideWhetherFilesAreAskedFor) {
  const Comparison& c = GetParam();
  if (c.installedMajor >= 0) {
    ASSERT_TRUE(files::WriteVersionFile(c.installedMajor, c.installedMinor));
  }
  Start();
  connection_.Send(Reply(c.serverMajor, c.serverMinor));
  const std::uint8_t major = c.installedMajor < 0 ? 0 : c.installedMajor;
  const std::uint8_t minor = c.installedMajor < 0 ? 0 : c.installedMinor;
  EXPECT_EQ(connection_.TakeSent(), c.request ? FilesOnly(major, minor) : Bytes{});
  connection_.Send(FileList(0, 0, 0));
  EXPECT_EQ(host_.collapses, 1);
}

INSTANTIATE_TEST_SUITE_P(Session, VersionComparisons,
                         ::testing::Values(Comparison{"MinorNewerOnServer", 5, 0, 4, 9, true},
                                           Comparison{"MajorNewerOnServer", 4, 9, 5, 0, true},
                                           Comparison{"Equal", 5, 5, 5, 5, false},
                                           Comparison{"NoVersionFileNothingNew", -1, 0, 0, 0, false},
                                           Comparison{"NoVersionFileSomethingNew", -1, 0, 0, 1, true}),
                         [](const ::testing::TestParamInfo<Comparison>& info) {
                           return std::string(info.param.name);
                         });

// A damaged File.ver, one of another kind, and a reply of another type end
// the window with their messages, after closing the connection.
struct Mismatch {
  const char* name;
  const char* fileVer;  // plain text, or nullptr for none
  std::uint8_t replyType;
  MessageId message;
};
void PrintTo(const Mismatch& m, std::ostream* out) { *out << m.name; }

class Mismatches : public ScriptedSessionTest, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(Mismatches, EndTheWindowWithTheirMessage) {
  const Mismatch& m = GetParam();
  if (m.fileVer != nullptr) {
    std::string text = m.fileVer;
    files::ScrambleText(text.data());
    WriteFile("File.ver", text);
  }
  Start();
  connection_.Send(Reply(9, 9, 0, 0, m.replyType));
  EXPECT_EQ(host_.messages, Messages{m.message});
  EXPECT_TRUE(host_.ended);
  EXPECT_FALSE(connection_.IsOpen());
  EXPECT_TRUE(connection_.TakeSent().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Session, Mismatches,
    ::testing::Values(Mismatch{"CheckValueWrong", "1 2 3 9", 1, MessageId::MsgDamagedFile},
                      Mismatch{"KindTwoCheckRight", "2 0 1 1", 1, MessageId::MsgVersionMismatch},
                      Mismatch{"ReplyTypeTwo", nullptr, 2, MessageId::MsgVersionMismatch}),
    [](const ::testing::TestParamInfo<Mismatch>& info) { return std::string(info.param.name); });

// The window's way out of each kind of end, in the order it acts: what is
// shown, then whether it ends at once or closes later as Cancel does.
TEST_F(ScriptedSessionTest, EachEndReachesTheWindowInOrder) {
  struct Case {
    const char* name;
    std::function<void()> play;
    std::vector<std::string> log;
  } cases[] = {
      {"NoServerConnects",
       [this] {
         connection_.Refuse("127.0.0.1");
         Start();
       },
       {"message 2", "close request"}},
      {"NoEndpointAtAll",
       [this] {
         connection_.createFails = true;
         Start();
       },
       {}},
      {"ClosedInTheMiddle",
       [this] {
         Start();
         connection_.Send(Reply(1, 0));
         connection_.Send(Cat({FileList(2, 0, 8), File("a.dat", 1, Body(4))}));
         connection_.End();
       },
       {"closed", "install"}},
      {"BrokenInTheMiddle",
       [this] {
         Start();
         connection_.Send(Reply(1, 0));
         connection_.End(104);
       },
       {"closed", "install", "message 4", "end"}},
      {"RefusedHeader",
       [this] {
         Start();
         connection_.Send(Reply(1, 0));
         connection_.Send(Cat({FileList(1, 0, 3), File("", 1, Body(3))}));
       },
       {"refused empty name", "message 5", "end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    c.play();
    EXPECT_EQ(host_.log, c.log);
  }
}

TEST_F(ScriptedSessionTest, FirstServerEmptyOrRefusingSoTheSecondIsUsed) {
  const std::pair<const char*, const char*> pairs[] = {{"", "127.0.0.1"}, {"127.0.0.2", "127.0.0.1"}};
  for (const auto& [first, second] : pairs) {
    SCOPED_TRACE(std::string(first) + " then " + second);
    Reset();
    connection_.Refuse("127.0.0.2");
    Start(first, second, 4000);
    EXPECT_EQ(connection_.connections(), std::vector<std::string>{"127.0.0.1:4000"});
    connection_.Send(Reply(0, 0));
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
  }
}

TEST_F(ScriptedSessionTest, ServerClosingInTheMiddleOfABodyInstallsWhatIsComplete) {
  const Bytes a = Body(3000, 1), b = Body(4000, 2);
  const Bytes fileB = File("b.dat", 2, b);
  for (const int code : {0, 104}) {
    SCOPED_TRACE(code);
    Reset();
    Start();
    connection_.Send(Reply(2, 0));
    connection_.Send(
        Cat({FileList(2, 0, 7000), File("a.dat", 1, a), Bytes(fileB.begin(), fileB.begin() + 1500)}));
    connection_.End(code);
    EXPECT_EQ(host_.installedLists, std::vector<std::vector<std::string>>{{"a.dat"}});
    EXPECT_EQ(ToBytes(ReadFile("a.dat.gz")), a);
    EXPECT_EQ(host_.closedCode, code);
    EXPECT_EQ(host_.collapses, 0);
    // The partial file keeps what arrived once the session lets it go.
    session_->Shutdown();
    EXPECT_EQ(ReadFile("b.dat.gz").size(), 1500u - 16u);
  }
}

TEST_F(ScriptedSessionTest, BytesAfterTheSessionEndedOpenNothing) {
  for (bool upToDate : {false, true}) {
    SCOPED_TRACE(upToDate);
    Reset();
    Start();
    if (upToDate) {
      connection_.Send(Reply(0, 0));
    } else {
      connection_.Send(Reply(0, 1));
      connection_.Send(FileList(0, 0, 0));
    }
    connection_.Send(Cat({FileList(1, 0, 3), File("late.dat", 1, Body(3))}));
    connection_.Send(File("late.dat", 1, Body(3)));
    EXPECT_FALSE(std::filesystem::exists("late.dat.gz"));
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_FALSE(host_.ended);
    EXPECT_EQ(host_.collapses, 1);
  }
}

TEST_F(ScriptedSessionTest, FromLoopbackAnyTotalIsAcceptedAndRedirectsAreIgnored) {
  // A negative total only leaves the total bar wrong: the files still come.
  for (const std::int32_t total : {2000000000, -1, -2147483647 - 1}) {
    SCOPED_TRACE(total);
    Reset();
    const std::uint32_t redirect = 0x0100000A;  // 10.0.0.1, never contacted from 127.0.0.1
    Start();
    connection_.Send(Reply(1, 0, redirect));
    EXPECT_EQ(connection_.TakeSent(), FilesOnly(0, 0));
    connection_.Send(Cat({FileList(1, 0, total), File("big.dat", 1, Body(10))}));
    EXPECT_EQ(connection_.connections().size(), 1u);
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"big.dat"});
    session_.reset();
    std::filesystem::remove("big.dat.gz");
  }
}
