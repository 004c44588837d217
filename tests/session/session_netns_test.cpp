// The download-size limit and the redirect only apply to a connection whose
// own address is not 127.0.0.1. They are checked inside a private network
// namespace holding 192.0.2.1 (the client and the first server),
// 192.0.2.2 (a redirect target on port 43001) and 192.0.2.3 (refusing).

#include <cstdlib>
#include <unistd.h>

#include "session_fixture.h"

using namespace testing_session;

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace {

/// Answers every connection on ADDRESS:43001 with a redirect to TARGET and
/// counts the connections.
class RedirectingServer {
 public:
  RedirectingServer(const char* address, std::uint32_t target) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(session::kRedirectPort);
    inet_pton(AF_INET, address, &at.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ::listen(fd_, 64);
    thread_ = std::thread([this, target] {
      const Bytes reply = Reply(2, 0, target);
      for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        ++connections;
        ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(client);
      }
    });
  }
  ~RedirectingServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::atomic<int> connections{0};

 private:
  int fd_ = -1;
  std::thread thread_;
};

constexpr const char* kInsideVariable = "SESSION_TEST_INSIDE_NETNS";
constexpr std::uint32_t kTarget = 0x020200C0;   // 192.0.2.2
constexpr std::uint32_t kRefusing = 0x030200C0; // 192.0.2.3

}  // namespace

TEST_F(SessionTest, SizeLimitAndRedirectSeenFromAnotherLocalAddress) {
  if (std::getenv(kInsideVariable) == nullptr) {
    if (std::system("unshare -n true >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "private network namespaces are not permitted here (unshare -n failed); "
                      "the size limit and the redirect are not checked";
    }
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string command = std::string("unshare -n env ") + kInsideVariable + "=1 '" + self +
                                "' --gtest_filter=SessionTest.SizeLimitAndRedirectSeenFromAnotherLocalAddress";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return;
  }
  ASSERT_EQ(std::system("ip link set lo up && ip addr add 192.0.2.1/32 dev lo && "
                        "ip addr add 192.0.2.2/32 dev lo && ip addr add 192.0.2.3/32 dev lo"), 0);

  // Exactly the limit is accepted, one byte more is refused with message 6;
  // a negative total is no reason to refuse.
  for (std::int32_t total : {104857600, 104857601, -1}) {
    SCOPED_TRACE(total);
    host_ = RecordingHost();
    host_.outcome = &outcome_;
    outcome_ = {};
    ScriptedServer server("192.0.2.1");
    server.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(1, 0, total), File("f.dat", 1, Body(4))}));
    server.Start();
    MakeSession(server.port(), "192.0.2.1").ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_EQ(session::Ipv4ToText(session_->socket().localAddress), "192.0.2.1");
    if (total != 104857601) {
      EXPECT_TRUE(host_.messages.empty());
      EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"f.dat"});
    } else {
      EXPECT_EQ(host_.messages, Messages{MessageId::MsgTooManyFiles});
      EXPECT_TRUE(host_.ended);
      EXPECT_FALSE(std::filesystem::exists("f.dat.gz"));
    }
    std::filesystem::remove("f.dat.gz");
  }

  // A redirect drops the first connection and starts over at the target.
  {
    host_ = RecordingHost();
    host_.outcome = &outcome_;
    outcome_ = {};
    ScriptedServer first("192.0.2.1"), target("192.0.2.2", session::kRedirectPort);
    first.Send(Reply(2, 0, kTarget));
    target.Send(Reply(1, 0)).Expect(9).Send(Cat({FileList(1, 0, 4), File("moved.dat", 1, Body(4))}));
    first.Start();
    target.Start();
    MakeSession(first.port(), "192.0.2.1").ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_TRUE(RunLoopUntil([&] { return first.clientClosed(); }));
    EXPECT_TRUE(first.received().empty());
    EXPECT_EQ(target.received(), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"moved.dat"});
    EXPECT_TRUE(host_.messages.empty());
  }

  // A redirect target that refuses: message 2 and the window ends.
  host_ = RecordingHost();
  ScriptedServer first("192.0.2.1");
  first.Send(Reply(2, 0, kRefusing));
  first.Start();
  MakeSession(first.port(), "192.0.2.1").ConnectToServers();
  ASSERT_TRUE(RunUntilSettled());
  EXPECT_EQ(host_.messages, Messages{MessageId::MsgConnectFailed});
  EXPECT_TRUE(host_.ended);

  // Servers that redirect to themselves or to each other: eight redirects
  // are followed, the ninth is met with message 2 as a target that does not connect.
  for (const bool toEachOther : {false, true}) {
    SCOPED_TRACE(toEachOther ? "to each other" : "to itself");
    host_ = RecordingHost();
    constexpr std::uint32_t kFirst = 0x010200C0;  // 192.0.2.1
    RedirectingServer a("192.0.2.1", toEachOther ? kTarget : kFirst);
    RedirectingServer b("192.0.2.2", kFirst);
    MakeSession(session::kRedirectPort, "192.0.2.1").ConnectToServers();
    ASSERT_TRUE(RunUntilSettled());
    EXPECT_EQ(host_.messages, Messages{MessageId::MsgConnectFailed});
    EXPECT_TRUE(host_.ended);
    EXPECT_EQ(a.connections + b.connections, 1 + session::UpdateSession::kMaxRedirects);
  }

  // The limit counts what the file headers announce, whatever the file list
  // promised (a negative total included): the header that would pass it is
  // refused before its file is opened.
  struct Announced {
    std::int32_t total, second;
    bool accepted;
  };
  for (const Announced& a :
       {Announced{1, 104857600 - 4, true}, Announced{1, 104857600 - 3, false},
        Announced{-1, 104857600 - 4, true}, Announced{-2000000000, 104857600 - 3, false}}) {
    const std::int32_t second = a.second;
    SCOPED_TRACE(std::to_string(a.total) + " " + std::to_string(second));
    host_ = RecordingHost();
    outcome_ = {};
    ScriptedServer server("192.0.2.1");
    server.Send(Reply(1, 0))
        .Expect(9)
        .Send(Cat({FileList(2, 0, a.total), File("one.dat", 1, Body(4)),
                   session::EncodeFileHeader(2, second, "two.dat"), Body(4096)}));
    server.Start();
    MakeSession(server.port(), "192.0.2.1").ConnectToServers();
    ASSERT_TRUE(RunLoopUntil(
        [&] { return host_.ended || (!outcome_.receivedNames.empty() && std::filesystem::exists("two.dat.gz")); }));
    EXPECT_EQ(outcome_.receivedNames, std::vector<std::string>{"one.dat"});
    if (a.accepted) {
      EXPECT_TRUE(host_.messages.empty());
      EXPECT_TRUE(std::filesystem::exists("two.dat.gz"));
    } else {
      EXPECT_EQ(host_.messages, Messages{MessageId::MsgTooManyFiles});
      EXPECT_FALSE(std::filesystem::exists("two.dat.gz"));
    }
    session_.reset();
    std::filesystem::remove("one.dat.gz");
    std::filesystem::remove("two.dat.gz");
  }
}
