// The update session against a scripted server on 127.0.0.1: how messages
// arrive in pieces, what the session decides, what it writes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <thread>

#include "files/scramble.h"
#include "files/version_file.h"
#include "session_fixture.h"

using namespace testing_session;
using session::UpdateSession;

namespace {

const Bytes kFilesOnly0 = {0x01, 0, 0, 0, 0, 0, 0, 0, 0};

void SetMtime(const std::string& path, long seconds) {
  utimbuf t{seconds, seconds};
  ASSERT_EQ(utime(path.c_str(), &t), 0);
}

long Mtime(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

/// A listener on 127.0.0.1 whose accept queue stays full for DELAYMS, so
/// that connection attempts meet silence as on a lossy link; then it makes
/// room, takes the next connection and sends REPLY on it.
class LateListener {
 public:
  LateListener(int delayMs, const Bytes& reply) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    EXPECT_EQ(::listen(fd_, 0), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length), 0);
    port_ = ntohs(at.sin_port);
    // One connection waiting to be accepted fills a queue of length 0.
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(filler_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    pollfd p{filler_, POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    thread_ = std::thread([this, delayMs, reply] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      const int queued = ::accept(fd_, nullptr, nullptr);
      if (queued >= 0) ::close(queued);
      client_ = ::accept(fd_, nullptr, nullptr);
      if (client_ >= 0) ::send(client_, reply.data(), reply.size(), MSG_NOSIGNAL);
    });
  }
  ~LateListener() {
    ::shutdown(fd_, SHUT_RDWR);  // ends an accept still waiting
    thread_.join();
    for (int fd : {client_, filler_, fd_})
      if (fd >= 0) ::close(fd);
  }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1, filler_ = -1, client_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace

TEST_F(SessionTest, FullDownloadInSmallPiecesWritesNoticeAndFilesAndMovesVersions) {
  ASSERT_TRUE(files::WriteVersionFile(3, 7));
  const Bytes a = Body(3000, 1), c = Body(2100, 3);
  ScriptedServer server;
  server.SendInPieces(Reply(4, 9, 0, 1000000), 1, 2)
      .Expect(9)
      .SendInPieces(Cat({Notice("<p>notice</p>"), FileList(1, 2, 5100),
                         session::EncodeFileHeader(4, 3000, "Update.exe")}), 1, 1)
      .SendInPieces(a, 700, 5)
      .SendInPieces(Cat({File("data\\maps\\a.dat", 8, {}), File("File.ver", 9, c)}), 1, 1);
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());

  const Bytes expectedRequest = {0x41, 3, 0, 0, 0, 7, 0, 0, 0};
  EXPECT_EQ(server.received(), expectedRequest);
  EXPECT_EQ(ReadFile("Notice.html"), "<p>notice</p>");
  EXPECT_EQ(Mtime("Notice.html"), 1000000);
  EXPECT_EQ(ToBytes(ReadFile("Update0.exe.gz")), a);
  EXPECT_EQ(ReadFile("data/maps/a.dat.gz"), "");
  EXPECT_EQ(ToBytes(ReadFile("null.dat.gz")), c);
  EXPECT_EQ(outcome_.receivedNames, (std::vector<std::string>{"Update0.exe", "data\\maps\\a.dat", "null.dat"}));
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

TEST_F(SessionTest, VersionReplySplitOrWithBytesGluedBehind) {
  // Split 10 + 7: the first 10 bytes wait at the start of the buffer.
  {
    ScriptedServer server;
    const Bytes reply = Reply(1, 0);
    server.Send(Bytes(reply.begin(), reply.begin() + 10)).Pause(100)
        .Send(Bytes(reply.begin() + 10, reply.end())).Expect(9).Send(FileList(0, 0, 0));
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_EQ(server.received(), kFilesOnly0);
    EXPECT_EQ(host_.collapses, 1);
  }
  // Bytes glued behind the reply are dropped; here they look like a file
  // list announcing a file, which must not be taken.
  host_ = RecordingHost();
  host_.outcome = &outcome_;
  ScriptedServer server;
  server.Send(Cat({Reply(1, 0), FileList(1, 0, 5)})).Expect(9).Send(FileList(0, 0, 0));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(server.received(), kFilesOnly0);
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_TRUE(outcome_.receivedNames.empty());
}

TEST_F(SessionTest, FileHeaderSplitOverReceivesIsCompletedFromKeptBytes) {
  const Bytes body = Body(5000, 7);
  const Bytes file = File("dir\\split.bin", 12, body);
  for (std::size_t cut : {1u, 5u, 11u, 20u}) {
    SCOPED_TRACE(cut);
    host_ = RecordingHost();
    host_.outcome = &outcome_;
    outcome_ = {};
    ScriptedServer server;
    server.Send(Reply(0, 1)).Expect(9).Send(Cat({FileList(0, 1, 5000), Bytes(file.begin(), file.begin() + cut)}))
        .Pause(80).Send(Bytes(file.begin() + cut, file.end()));
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_EQ(ToBytes(ReadFile("dir/split.bin.gz")), body);
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"dir\\split.bin"});
    EXPECT_EQ(outcome_.versions[1], 12u);
  }
}

TEST_F(SessionTest, ZeroLengthNoticeAndBodyAndZeroFiles) {
  ScriptedServer server;
  server.Send(Reply(0, 1, 0, 1234567)).Expect(9)
      .Send(Cat({Notice(""), FileList(0, 1, 0), File("e.dat", 6, {})}));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(server.received()[0], session::RequestNoticeAndFiles);
  EXPECT_EQ(ReadFile("Notice.html"), "");
  EXPECT_EQ(Mtime("Notice.html"), 1234567);
  EXPECT_EQ(ReadFile("e.dat.gz"), "");
  EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"e.dat"});
  EXPECT_EQ(outcome_.versions[1], 6u);
  EXPECT_EQ(host_.collapses, 1);
}

TEST_F(SessionTest, NoticeTimeStampDecidesWhetherTheNoticeIsAskedFor) {
  struct Case {
    bool localPage;
    std::int32_t serverTime;
    bool upToDate;          // with versions equal
  } cases[] = {
      {true, 1000001, true},   // within a second: current
      {true, 999999, true},
      {true, 1000002, false},  // two seconds: stale
      {true, 0, true},         // no server notice: local page deleted
      {false, 0, true},
      {false, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.localPage << " " << c.serverTime);
    host_ = RecordingHost();
    std::filesystem::remove("Notice.html");
    if (c.localPage) {
      WriteFile("Notice.html", "old");
      SetMtime("Notice.html", 1000000);
    }
    ASSERT_TRUE(files::WriteVersionFile(2, 2));
    ScriptedServer server;
    server.Send(Reply(2, 2, 0, c.serverTime)).Expect(9).Send(Cat({Notice("new"), FileList(0, 0, 0)}));
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    if (c.upToDate) {
      RunLoopFor(50);
      EXPECT_TRUE(server.received().empty());
      EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
    } else {
      EXPECT_EQ(server.received(), (Bytes{0x41, 2, 0, 0, 0, 2, 0, 0, 0}));
      EXPECT_EQ(ReadFile("Notice.html"), "new");
    }
    EXPECT_EQ(std::filesystem::exists("Notice.html"), c.serverTime != 0);
    EXPECT_EQ(host_.collapses, 1);
  }
  // Versions behind but notice current: files only, and the page is shown.
  host_ = RecordingHost();
  SetMtime("Notice.html", 1000000);
  ScriptedServer server;
  server.Send(Reply(3, 2, 0, 1000000)).Expect(9).Send(FileList(0, 0, 0));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(server.received(), (Bytes{0x01, 2, 0, 0, 0, 2, 0, 0, 0}));
  EXPECT_GE(host_.notices, 2);
}

// The installed versions against the server's, each pair on its own.
struct Comparison {
  const char* name;
  int installedMajor, installedMinor;  // -1: no File.ver
  std::uint32_t serverMajor, serverMinor;
  bool request;
};
void PrintTo(const Comparison& c, std::ostream* out) { *out << c.name; }

class VersionComparisons : public SessionTest, public ::testing::WithParamInterface<Comparison> {};

TEST_P(VersionComparisons, DecideWhetherFilesAreAskedFor) {
  const Comparison& c = GetParam();
  if (c.installedMajor >= 0) {
    ASSERT_TRUE(files::WriteVersionFile(c.installedMajor, c.installedMinor));
  }
  ScriptedServer server;
  server.Send(Reply(c.serverMajor, c.serverMinor)).Expect(9).Send(FileList(0, 0, 0));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  RunLoopFor(30);
  const std::uint8_t major = c.installedMajor < 0 ? 0 : c.installedMajor;
  const std::uint8_t minor = c.installedMajor < 0 ? 0 : c.installedMinor;
  const Bytes expected = c.request ? Bytes{0x01, major, 0, 0, 0, minor, 0, 0, 0} : Bytes{};
  EXPECT_EQ(server.received(), expected);
  EXPECT_EQ(host_.collapses, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Session, VersionComparisons,
    ::testing::Values(Comparison{"MinorNewerOnServer", 5, 0, 4, 9, true},
                      Comparison{"MajorNewerOnServer", 4, 9, 5, 0, true},
                      Comparison{"Equal", 5, 5, 5, 5, false},
                      Comparison{"NoVersionFileNothingNew", -1, 0, 0, 0, false},
                      Comparison{"NoVersionFileSomethingNew", -1, 0, 0, 1, true}),
    [](const ::testing::TestParamInfo<Comparison>& info) { return std::string(info.param.name); });

// A damaged File.ver, one of another kind, and a reply of another type end
// the window with their messages, after closing the connection.
struct Mismatch {
  const char* name;
  const char* fileVer;  // plain text, or nullptr for none
  std::uint8_t replyType;
  MessageId message;
};
void PrintTo(const Mismatch& m, std::ostream* out) { *out << m.name; }

class Mismatches : public SessionTest, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(Mismatches, EndTheWindowWithTheirMessage) {
  const Mismatch& m = GetParam();
  if (m.fileVer != nullptr) {
    std::string text = m.fileVer;
    files::ScrambleText(text.data());
    WriteFile("File.ver", text);
  }
  ScriptedServer server;
  server.Send(Reply(9, 9, 0, 0, m.replyType));
  server.Start();
  MakeSession(server.port()).ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(host_.messages, Messages{m.message});
  EXPECT_TRUE(host_.ended);
  EXPECT_FALSE(session_->socket().IsOpen());
  EXPECT_TRUE(RunLoopUntil([&] { return server.clientClosed(); }));
  EXPECT_TRUE(server.received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Session, Mismatches,
    ::testing::Values(Mismatch{"CheckValueWrong", "1 2 3 9", 1, MessageId::MsgDamagedFile},
                      Mismatch{"KindTwoCheckRight", "2 0 1 1", 1, MessageId::MsgVersionMismatch},
                      Mismatch{"ReplyTypeTwo", nullptr, 2, MessageId::MsgVersionMismatch}),
    [](const ::testing::TestParamInfo<Mismatch>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, FirstServerEmptyOrRefusingSoTheSecondIsUsed) {
  // IP2 may be a host name: its first IPv4 address is used.
  const std::pair<const char*, const char*> pairs[] = {
      {"", "127.0.0.1"}, {"127.0.0.2", "127.0.0.1"}, {"", "localhost"}};
  for (const auto& [first, second] : pairs) {
    SCOPED_TRACE(std::string(first) + " then " + second);
    host_ = RecordingHost();
    ScriptedServer server;  // on 127.0.0.1 only: 127.0.0.2 at the same port refuses
    server.Send(Reply(0, 0));
    server.Start();
    MakeSession(server.port(), first, second).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_TRUE(server.accepted());
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
  }
  // Neither connects: message 2, a close request, and the old page is shown.
  host_ = RecordingHost();
  std::uint16_t unusedPort;
  { ScriptedServer probe; unusedPort = probe.port(); }
  MakeSession(unusedPort, "127.0.0.1", "").ConnectToServers();
  EXPECT_EQ(host_.messages, Messages{MessageId::MsgConnectFailed});
  EXPECT_TRUE(host_.closeRequested);
  EXPECT_FALSE(host_.ended);
  EXPECT_EQ(host_.notices, 1);
}

TEST_F(SessionTest, ServerClosingInTheMiddleOfABody) {
  const Bytes a = Body(3000, 1), b = Body(4000, 2);
  const Bytes fileB = File("b.dat", 2, b);
  for (bool withError : {false, true}) {
    SCOPED_TRACE(withError);
    host_ = RecordingHost();
    host_.outcome = &outcome_;
    outcome_ = {};
    ScriptedServer server;
    server.Send(Reply(2, 0)).Expect(9)
        .Send(Cat({FileList(2, 0, 7000), File("a.dat", 1, a), Bytes(fileB.begin(), fileB.begin() + 1500)}))
        .Pause(50);
    if (withError) server.Reset(); else server.Close();
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunLoopUntil([&] { return session_->connectionClosed(); }));
    EXPECT_EQ(host_.installations, 1);
    ASSERT_EQ(host_.installedLists.size(), 1u);
    EXPECT_EQ(host_.installedLists[0], std::vector<std::string>{"a.dat"});
    EXPECT_EQ(ToBytes(ReadFile("a.dat.gz")), a);
    EXPECT_EQ(host_.collapses, 0);
    if (withError) {
      EXPECT_NE(host_.closedCode, 0);
      EXPECT_EQ(host_.messages, Messages{MessageId::MsgConnectionLost});
      EXPECT_EQ(host_.log.back(), "end");
    } else {
      EXPECT_EQ(host_.closedCode, 0);
      EXPECT_TRUE(host_.messages.empty());
      EXPECT_FALSE(host_.ended);  // the window stays with its download area
      // The partial file keeps what arrived once the session lets it go.
      session_->Shutdown();
      EXPECT_EQ(ReadFile("b.dat.gz").size(), 1500u - 16u);
    }
  }
}

TEST_F(SessionTest, BytesAfterTheSessionEndedOpenNothing) {
  for (bool upToDate : {false, true}) {
    SCOPED_TRACE(upToDate);
    host_ = RecordingHost();
    ScriptedServer server;
    if (upToDate) {
      server.Send(Reply(0, 0)).Pause(50).Send(Cat({FileList(1, 0, 3), File("late.dat", 1, Body(3))}));
    } else {
      server.Send(Reply(0, 1)).Expect(9).Send(FileList(0, 0, 0)).Pause(50)
          .Send(File("late.dat", 1, Body(3)));
    }
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    RunLoopUntil([&] { return server.finished(); });
    RunLoopFor(100);
    EXPECT_FALSE(std::filesystem::exists("late.dat.gz"));
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_FALSE(host_.ended);
    EXPECT_EQ(host_.collapses, 1);
  }
}

TEST_F(SessionTest, FromLoopbackAnyTotalIsAcceptedAndRedirectsAreIgnored) {
  // A negative total only leaves the total bar wrong: the files still come.
  for (const std::int32_t total : {2000000000, -1, -2147483647 - 1}) {
    SCOPED_TRACE(total);
    host_ = RecordingHost();
    outcome_ = {};
    ScriptedServer server;
    const std::uint32_t redirect = 0x0100000A;  // 10.0.0.1, never contacted from 127.0.0.1
    server.Send(Reply(1, 0, redirect))
        .Expect(9)
        .Send(Cat({FileList(1, 0, total), File("big.dat", 1, Body(10))}));
    server.Start();
    MakeSession(server.port()).ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_EQ(session_->socket().localAddress, session::kLoopbackAddress);
    EXPECT_EQ(server.received(), kFilesOnly0);
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_EQ(host_.totalRange, total);
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"big.dat"});
    EXPECT_EQ(outcome_.versions[0], 1u);
    session_.reset();
    std::filesystem::remove("big.dat.gz");
  }
}

TEST_F(SessionTest, ConnectToAnAddressThatNeverAnswersIsBounded) {
  // A listener whose accept queue is full drops further connection attempts
  // without an answer, as an unreachable host does.
  // The same port on 127.0.0.1 may be taken by another program: try others.
  std::unique_ptr<ScriptedServer> second;
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < 20; ++attempt) {
    second = std::make_unique<ScriptedServer>("127.0.0.2");
    at.sin_port = htons(second->port());
    if (::bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) break;
    second.reset();
  }
  ASSERT_NE(second, nullptr);
  ScriptedServer& server = *second;
  server.Send(Reply(0, 0));
  ASSERT_EQ(::listen(silent, 0), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
  }
  RunLoopFor(100);
  server.Start();
  const int previous = session::CUpdateSocket::ConnectTimeoutMs();
  session::CUpdateSocket::SetConnectTimeoutMs(400);
  const auto start = std::chrono::steady_clock::now();
  MakeSession(server.port(), "127.0.0.1", "127.0.0.2").ConnectToServers();
  const auto waited = std::chrono::steady_clock::now() - start;
  session::CUpdateSocket::SetConnectTimeoutMs(previous);
  EXPECT_GE(waited, std::chrono::milliseconds(350));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_TRUE(server.accepted());
  EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
  for (int fd : fillers) ::close(fd);
  ::close(silent);
}

// A server whose first answers are lost (as on a slow or lossy link) is still
// reached: the connect waits as long as the system's own connect would. One
// that makes room after 5.5 s is reached at the next attempt, about 7 s after
// the first.
TEST_F(SessionTest, ConnectWaitsForAServerWhoseFirstAnswersAreLost) {
  LateListener server(5500, Reply(0, 0));
  const auto start = std::chrono::steady_clock::now();
  MakeSession(server.port()).ConnectToServers();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(5500)) << "the first attempts were not lost";
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(session_->progress(), UpdateSession::Progress::UpToDate);
}
