// The update session over CUpdateSocket against a scripted server on
// 127.0.0.1: what only a real connection shows (pieces as the network cuts
// them, host names, refusing and silent servers, an orderly or a broken end).
// The state machine itself is tested over the scripted connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files/version_file.h"
#include "socket_fixture.h"

using namespace testing_session;
using session::UpdateSession;

namespace {

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

  // What the network cut into pieces arrives whole, in order.
  EXPECT_EQ(server.received(), (Bytes{0x41, 3, 0, 0, 0, 7, 0, 0, 0}));
  EXPECT_EQ(ReadFile("Notice.html"), "<p>notice</p>");
  EXPECT_EQ(ToBytes(ReadFile("Update0.exe.gz")), a);
  EXPECT_EQ(ToBytes(ReadFile("null.dat.gz")), c);
  EXPECT_EQ(outcome_.receivedNames, (std::vector<std::string>{"Update0.exe", "data\\maps\\a.dat", "null.dat"}));
  EXPECT_EQ(session_->progress(), UpdateSession::Progress::Complete);
  EXPECT_EQ(host_.advanced, 5100);
}

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
