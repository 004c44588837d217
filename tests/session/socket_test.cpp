// CUpdateSocket on its own: notifications one at a time, after a blocking
// call, in order; an explicit close gives no closed notification.

#include <thread>

#include "session/update_socket.h"
#include "socket_fixture.h"

using namespace testing_session;

namespace {

class Owner : public session::ConnectionOwner {
 public:
  explicit Owner(session::CUpdateSocket& socket) : socket_(socket) {}
  std::function<void()> onFirstReceive;
  std::string data;
  int depth = 0, maxDepth = 0, receives = 0, closes = 0, closedCode = -1;
  bool closedAfterAllData = false;
  std::size_t expectedBytes = 0;

  void HandleReceive() override {
    maxDepth = std::max(maxDepth, ++depth);
    ++receives;
    char chunk[64];  // small receives: the data needs many notifications
    const long n = socket_.Receive(chunk, sizeof chunk);
    if (n > 0) data.append(chunk, static_cast<std::size_t>(n));
    if (receives == 1 && onFirstReceive) onFirstReceive();
    --depth;
  }
  void HandleConnectionClosed(int code) override {
    ++closes;
    closedCode = code;
    closedAfterAllData = data.size() == expectedBytes;
  }

 private:
  session::CUpdateSocket& socket_;
};

}  // namespace

TEST_F(SessionTest, SocketNotificationsWaitForABlockingCallAndKeepTheirOrder) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\n";
  ScriptedServer server;
  server.Send(ToBytes(std::string("first"))).Expect(5).Send(ToBytes(text)).Close();
  server.Start();

  session::CUpdateSocket socket;
  Owner owner(socket);
  owner.expectedBytes = 5 + text.size();
  // During the first notification: a blocking send, then a wait while the
  // server sends the rest and closes. Nothing may run inside this call.
  owner.onFirstReceive = [&] {
    ASSERT_TRUE(socket.SendAll("hello", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.ConnectAndRecord(&owner, "127.0.0.1", server.port()));
  EXPECT_EQ(socket.LastError(), 0);
  EXPECT_EQ(socket.localAddress, session::kLoopbackAddress);
  ASSERT_TRUE(RunLoopUntil([&] { return owner.closes > 0; }));
  RunLoopFor(50);
  EXPECT_EQ(owner.maxDepth, 1);
  EXPECT_EQ(owner.data, "first" + text);
  EXPECT_EQ(owner.closes, 1);
  EXPECT_EQ(owner.closedCode, 0);
  EXPECT_TRUE(owner.closedAfterAllData);
  EXPECT_EQ(server.received(), ToBytes(std::string("hello")));
}

TEST_F(SessionTest, ExplicitCloseGivesNoClosedNotification) {
  ScriptedServer server;
  server.Send(ToBytes(std::string("bye"))).Close();
  server.Start();
  session::CUpdateSocket socket;
  Owner owner(socket);
  owner.onFirstReceive = [&] { socket.Close(); };
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.ConnectAndRecord(&owner, "127.0.0.1", server.port()));
  ASSERT_TRUE(RunLoopUntil([&] { return owner.receives > 0; }));
  RunLoopFor(200);
  EXPECT_EQ(owner.receives, 1);
  EXPECT_EQ(owner.closes, 0);
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.owner, nullptr);

  // A failed connect leaves the owner as it was and reports why.
  session::CUpdateSocket other;
  ASSERT_TRUE(other.Create());
  EXPECT_FALSE(other.ConnectAndRecord(&owner, "", server.port()));
  EXPECT_EQ(other.LastError(), session::CUpdateSocket::kInvalidArgument);
  EXPECT_EQ(other.owner, nullptr);
}
