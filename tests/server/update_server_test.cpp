// The server loop in this process on a free port of 127.0.0.1, with plain
// socket clients: what sessions receive, snapshots, store changes, redirects,
// timeouts, misbehaving clients, crowds that try to hold every session,
// limits and the stop.

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "server/publish.h"
#include "server/update_server.h"
#include "store_builder.h"
#include "test_client.h"
#include "test_support/temp_dir.h"

using namespace std::chrono_literals;
using server::Ending;
using server_test::HandFile;
using server_test::TestClient;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

std::atomic<int> failingOption{-1};        ///< setsockopt(IPPROTO_TCP, this option) fails
std::atomic<long long> failingModify{-1};  ///< epoll_ctl(EPOLL_CTL_MOD) for exactly these events fails

template <typename Call>
Call NextDefinition(const char* name) {
  return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

// The server's calls of these two, failing on demand; every other call goes through.
extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
  static const auto next = NextDefinition<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
  if (level == IPPROTO_TCP && name == failingOption) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return next(fd, level, name, value, length);
}

extern "C" int epoll_ctl(int epoll, int op, int fd, epoll_event* event) noexcept {
  static const auto next = NextDefinition<int (*)(int, int, int, epoll_event*)>("epoll_ctl");
  if (op == EPOLL_CTL_MOD && event != nullptr && event->events == failingModify) {
    errno = ENOMEM;
    return -1;
  }
  return next(epoll, op, fd, event);
}

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class ServerTest : public ::testing::Test {
 protected:
  void Start(server::ServerOptions options = {}) {
    options.store = store_;
    options.listenAddress = session::kLoopbackAddress;
    options.port = 0;
    log_ = std::fopen((dir_ / "server.log").c_str(), "w");
    options.log = log_;
    server_ = std::make_unique<server::UpdateServer>(options);
    thread_ = std::thread([this] {
      try {
        server_->Run();
      } catch (const std::exception& e) {
        std::lock_guard lock(runErrorMutex_);
        runError_ = e.what();
      }
    });
  }
  void TearDown() override {
    failingOption = -1;
    failingModify = -1;
    if (server_) {
      server_->Stop();
      thread_.join();
      server_.reset();
    }
    if (log_ != nullptr) std::fclose(log_);
  }
  std::uint16_t port() const { return server_->port(); }
  std::string Log() const { return ReadFile(dir_ / "server.log"); }
  /// Why Run failed; empty while it runs or after it returned.
  std::string RunError() {
    std::lock_guard lock(runErrorMutex_);
    return runError_;
  }
  bool LogHas(const std::string& text) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }
  std::string Folder(const std::string& name, const server_test::Files& files) {
    server_test::MakeFolder(dir_ / name, files);
    return dir_ / name;
  }
  void PublishFiles(int kind, const server_test::Files& files) {
    server::Publish(store_, kind, Folder("src" + std::to_string(++folders_), files));
  }

  TempDir dir_;
  const std::string store_ = dir_ / "store";
  std::FILE* log_ = nullptr;
  std::unique_ptr<server::UpdateServer> server_;
  std::thread thread_;
  std::mutex runErrorMutex_;
  std::string runError_;
  int folders_ = 0;
};

TEST_F(ServerTest, SessionGetsRepliesNoticeAndStoredStreams) {
  PublishFiles(0, {{"Mirvale.exe", "game"}, {"data/a.dat", "a1"}});
  PublishFiles(1, {{"patch.txt", "p"}});
  PublishFiles(0, {{"data/a.dat", "a2"}});
  WriteFile(dir_ / "notice.html", "<p>notice</p>");
  const std::int32_t stamp = server::SetNotice(store_, dir_ / "notice.html", 1700000000);
  Start();

  TestClient client(port());
  const auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 1);
  EXPECT_EQ(reply->major, 2u);
  EXPECT_EQ(reply->minor, 1u);
  EXPECT_EQ(reply->redirect, 0u);
  EXPECT_EQ(reply->noticeTime, stamp);
  ASSERT_TRUE(client.SendRequest(session::RequestNoticeAndFiles, 0, 0));
  const server_test::Answer answer = client.ReadAnswer(true);
  ASSERT_TRUE(answer.complete);
  EXPECT_EQ(answer.notice, "<p>notice</p>");
  EXPECT_EQ(answer.list.counts[0], 2);
  EXPECT_EQ(answer.list.counts[1], 1);
  ASSERT_EQ(answer.files.size(), 3u);
  const auto snapshot = server::LoadSnapshot(store_);
  std::int32_t total = 0;
  const char* names[] = {"Mirvale.exe", "data\\a.dat", "patch.txt"};
  // Mirvale.exe alone does not complete major version 1: data\a.dat, changed
  // there too, is still to come.
  const std::uint32_t versions[] = {0, 2, 1};
  const char* stored[] = {"major/1/files/Mirvale.exe.gz", "major/2/files/data/a.dat.gz",
                          "minor/1/files/patch.txt.gz"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(answer.files[i].name, names[i]);
    EXPECT_EQ(answer.files[i].version, versions[i]);
    EXPECT_EQ(answer.files[i].body, ReadFile(store_ + "/" + stored[i])) << names[i];
    total += static_cast<std::int32_t>(answer.files[i].body.size());
  }
  EXPECT_EQ(answer.list.totalBytes, total);
  client.Close();
  EXPECT_TRUE(LogHas("installed 0 0, 3/3 files, "));
  EXPECT_TRUE(LogHas(": completed\n"));
}

TEST_F(ServerTest, SessionKeepsItsSnapshotWhileANewVersionIsPublished) {
  PublishFiles(0, {{"a.dat", "a1"}});
  Start();
  TestClient early(port());
  ASSERT_EQ(early.ReadReply()->major, 1u);

  PublishFiles(0, {{"b.dat", "b2"}});
  TestClient late(port());
  ASSERT_EQ(late.ReadReply()->major, 2u);

  ASSERT_TRUE(early.SendRequest(session::RequestFilesOnly, 0, 0));
  const auto answer = early.ReadAnswer(false);
  ASSERT_TRUE(answer.complete);
  ASSERT_EQ(answer.files.size(), 1u);
  EXPECT_EQ(answer.files[0].name, "a.dat");
  EXPECT_EQ(answer.files[0].version, 1u);

  ASSERT_TRUE(late.SendRequest(session::RequestFilesOnly, 1, 0));
  const auto newer = late.ReadAnswer(false);
  ASSERT_EQ(newer.files.size(), 1u);
  EXPECT_EQ(newer.files[0].name, "b.dat");
  EXPECT_EQ(newer.files[0].version, 2u);
  EXPECT_TRUE(LogHas("store changed: now major 2, minor 0"));
}

TEST_F(ServerTest, StateThatCannotBeLoadedLeavesTheOldOneServed) {
  PublishFiles(0, {{"a.dat", "a1"}});
  Start();
  auto servedMajor = [&] {
    const auto reply = TestClient(port()).ReadReply();
    return reply ? reply->major : 0u;
  };
  // A copy still arriving: the new CURRENT names a release not yet there.
  WriteFile(store_ + "/CURRENT.copy", "format 1\nmajor 2\nminor 0\nnotice none\nlast-stamp 0\n");
  std::filesystem::rename(store_ + "/CURRENT.copy", store_ + "/CURRENT");
  EXPECT_TRUE(LogHas("cannot be loaded (still serving major 1, minor 0)"));
  EXPECT_EQ(servedMajor(), 1u);

  server_test::WriteHandmadeStore(dir_ / "copy", {{{"a.dat", 2}}, {{"b.dat", 3}}});
  std::filesystem::copy(dir_ / "copy/major/2", store_ + "/major/2", std::filesystem::copy_options::recursive);
  EXPECT_TRUE(WaitFor([&] { return servedMajor() == 2u; }));
}

struct RedirectCase {
  const char* label;
  std::vector<const char*> configured;
};

class Redirect : public ServerTest, public ::testing::WithParamInterface<RedirectCase> {};

// A back server is named only after it answered a check with this server's
// state; until then (here: never, its port refuses) the front sends the files.
TEST_P(Redirect, NeverNamesAnUncheckedBack) {
  PublishFiles(0, {{"a", "a"}});
  // Bound on every address and never listening: each check is refused.
  const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  socklen_t length = sizeof at;
  ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&at), &length), 0);
  server::ServerOptions options;
  options.backPort = ntohs(at.sin_port);
  options.checkInterval = 20ms;
  for (const char* text : GetParam().configured) {
    session::Ipv4Address a = 0;
    ASSERT_TRUE(session::ParseIpv4(text, a));
    options.redirects.push_back(a);
  }
  Start(options);
  for (int i = 0; i < 4; ++i) {
    if (i == 2) std::this_thread::sleep_for(100ms);  // checked and refused by now
    TestClient client(port());
    const auto reply = client.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->redirect, 0u) << "session " << i;
    ASSERT_TRUE(client.SendRequest(session::RequestFilesOnly, 0, 0));
    EXPECT_TRUE(client.ReadAnswer(false).complete) << "session " << i;
  }
  ::close(closed);
}

INSTANTIATE_TEST_SUITE_P(Redirects, Redirect,
                         ::testing::Values(RedirectCase{"None", {}}, RedirectCase{"One", {"127.0.0.2"}},
                                           RedirectCase{"Several", {"127.0.0.2", "127.0.0.3", "127.0.0.4"}}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- clients that misbehave are dropped; the others go on -------------------

constexpr std::uint64_t kBigBody = 16u << 20;  // more than both socket buffers hold

struct MisbehaviourCase {
  const char* label;
  std::function<void(std::uint16_t port, std::unique_ptr<TestClient>& kept)> act;
  Ending ending;
};

class Misbehaving : public ServerTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(Misbehaving, IsDroppedWithoutHarmToOthers) {
  server_test::WriteHandmadeStore(store_, {{{"big.bin", kBigBody}, {"small.txt", 100}}});
  server::ServerOptions options;
  options.timeout = 400ms;
  Start(options);

  std::unique_ptr<TestClient> bad;
  GetParam().act(port(), bad);
  TestClient good(port());
  const auto answer = good.Update(0, 0);
  ASSERT_TRUE(answer.complete);
  ASSERT_EQ(answer.files.size(), 2u);
  // Too large to assemble: the pieces come from the stored files.
  EXPECT_EQ(answer.files[0].body, ReadFile(store_ + "/major/1/files/big.bin.gz"));
  EXPECT_EQ(answer.files[1].body, ReadFile(store_ + "/major/1/files/small.txt.gz"));
  good.Close();

  // The server judges first; reading what it sent comes after.
  const Ending ending = GetParam().ending;
  EXPECT_TRUE(WaitFor([&] { return server_->Count(ending) == 1; })) << server::EndingText(ending);
  if (bad) {
    EXPECT_TRUE(bad->WaitClosed(5000)) << "the server kept the connection";
  }
  EXPECT_TRUE(WaitFor([&] { return server_->Count(Ending::Completed) == 1; }));
  EXPECT_TRUE(LogHas(server::EndingText(ending)));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, Misbehaving,
    ::testing::Values(MisbehaviourCase{"SilentAfterTheReply",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>& c) {
                                         c = std::make_unique<TestClient>(port);
                                         ASSERT_TRUE(c->ReadReply());
                                       },
                                       Ending::IdleTimeout},
                      MisbehaviourCase{"NeverReadsTheBody",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>& c) {
                                         c = std::make_unique<TestClient>(port, 4096);
                                         ASSERT_TRUE(c->ReadReply());
                                         ASSERT_TRUE(c->SendRequest(session::RequestFilesOnly, 0, 0));
                                       },
                                       Ending::Stalled},
                      MisbehaviourCase{"SendsHttpInsteadOfARequest",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>& c) {
                                         c = std::make_unique<TestClient>(port);
                                         const std::string get = "GET / HTTP/1.0\r\n\r\n";
                                         ASSERT_TRUE(c->Send({get.begin(), get.end()}));
                                       },
                                       Ending::BadRequest},
                      MisbehaviourCase{"SendsBytesAfterTheRequest",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>& c) {
                                         c = std::make_unique<TestClient>(port);
                                         ASSERT_TRUE(c->ReadReply());
                                         ASSERT_TRUE(c->Send({0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0xDE, 0xAD}));
                                       },
                                       Ending::ExtraData},
                      MisbehaviourCase{"ClosesDuringTheBody",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>&) {
                                         TestClient c(port);
                                         ASSERT_TRUE(c.ReadReply());
                                         ASSERT_TRUE(c.SendRequest(session::RequestFilesOnly, 0, 0));
                                         char some[1000];
                                         ASSERT_TRUE(c.ReadExact(some, sizeof some));
                                       },
                                       Ending::ClosedEarly},
                      MisbehaviourCase{"ClosesWithoutARequest",
                                       [](std::uint16_t port, std::unique_ptr<TestClient>&) {
                                         TestClient c(port);
                                         ASSERT_TRUE(c.ReadReply());
                                       },
                                       Ending::NoRequest}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ServerTest, FinishedSessionThatStaysOpenIsClosedAsCompleted) {
  PublishFiles(0, {{"a", "a"}});
  server::ServerOptions options;
  options.timeout = 300ms;
  Start(options);
  TestClient client(port());
  ASSERT_TRUE(client.Update(0, 0).complete);
  EXPECT_TRUE(client.WaitClosed(5000));
  EXPECT_TRUE(WaitFor([&] { return server_->Count(Ending::Completed) == 1; }));
}

TEST_F(ServerTest, ManySessionsAtOnce) {
  PublishFiles(0, {{"a.dat", std::string(20000, 'a')}, {"b/c.dat", "c"}});
  server::ServerOptions options;
  options.maxPerAddress = 0;  // every client is 127.0.0.1
  Start(options);
  constexpr int kClients = 300;
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<TestClient>(port()));
  for (auto& c : clients) ASSERT_TRUE(c->ReadReply());
  for (auto& c : clients) ASSERT_TRUE(c->SendRequest(session::RequestFilesOnly, 0, 0));
  EXPECT_TRUE(WaitFor([&] { return server_->OpenSessions() == kClients; }));
  for (auto& c : clients) ASSERT_EQ(c->ReadAnswer(false).files.size(), 2u);
  clients.clear();
  EXPECT_TRUE(WaitFor([&] { return server_->Count(Ending::Completed) == kClients; }));
  EXPECT_EQ(server_->OpenSessions(), 0u);
}

TEST_F(ServerTest, SessionsBeyondTheLimitWaitForAFreeOne) {
  PublishFiles(0, {{"a", "a"}});
  server::ServerOptions options;
  options.maxSessions = 2;
  Start(options);
  auto first = std::make_unique<TestClient>(port());
  TestClient second(port());
  ASSERT_TRUE(first->ReadReply());
  ASSERT_TRUE(second.ReadReply());
  TestClient third(port());
  std::uint8_t reply[session::kVersionReplySize];
  EXPECT_FALSE(third.ReadExact(reply, sizeof reply, 300));
  first.reset();
  EXPECT_TRUE(third.ReadExact(reply, sizeof reply, 3000));
}

// ---- crowds that hold sessions without asking leave room for updaters ---------

/// 127.0.0.N in network order.
session::Ipv4Address Loopback(std::uint32_t n) { return htonl((127u << 24) | n); }

struct CrowdCase {
  const char* label;
  std::size_t maxSessions, maxPerAddress;
  std::chrono::milliseconds timeout;
  int addresses;      // the crowd of four comes from this many addresses, 127.0.0.2 upwards
  bool trickle;       // each sends a byte of a request every 150 ms, never all nine
  Ending dropped;     // how the server ends some of them
  int replyWithinMs;  // an updater arriving after them gets its version reply this soon
};

void PrintTo(const CrowdCase& c, std::ostream* out) { *out << c.label; }

class Crowd : public ServerTest, public ::testing::WithParamInterface<CrowdCase> {};

TEST_P(Crowd, LeavesRoomForAnUpdater) {
  const CrowdCase& c = GetParam();
  PublishFiles(0, {{"a.dat", "a"}});
  server::ServerOptions options;
  options.maxSessions = c.maxSessions;
  options.maxPerAddress = c.maxPerAddress;
  options.timeout = c.timeout;
  Start(options);
  constexpr int kCrowd = 4;
  std::vector<std::unique_ptr<TestClient>> crowd;
  for (int i = 0; i < kCrowd; ++i) {
    crowd.push_back(std::make_unique<TestClient>(port(), 0, Loopback(2 + i % c.addresses)));
  }
  ASSERT_TRUE(
      WaitFor([&] { return server_->OpenSessions() + server_->Count(Ending::AddressFull) == kCrowd; }));
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    for (int sent = 0; c.trickle && !done && sent < 8; ++sent) {
      for (auto& client : crowd) client->Send({0x01});
      std::this_thread::sleep_for(150ms);
    }
  });

  const auto start = std::chrono::steady_clock::now();
  TestClient updater(port());
  std::uint8_t reply[session::kVersionReplySize];
  const bool replied = updater.ReadExact(reply, sizeof reply, c.replyWithinMs);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  done = true;
  trickler.join();
  EXPECT_TRUE(replied) << "no version reply within " << c.replyWithinMs << " ms";
  EXPECT_GE(server_->Count(c.dropped), 1u) << server::EndingText(c.dropped) << " after " << waited.count();
  EXPECT_TRUE(LogHas(server::EndingText(c.dropped)));
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, Crowd,
    ::testing::Values(
        // Bytes that trickle in do not move the request's deadline.
        CrowdCase{"TrickledRequestsKeepTheirDeadline", 4, 0, 800ms, 4, true, Ending::IdleTimeout, 1600},
        CrowdCase{"OneAddressGetsItsShare", 4, 2, 30000ms, 1, false, Ending::AddressFull, 1000},
        // A full server drops the session that waited longest for its request.
        CrowdCase{"FullServerMakesRoom", 4, 0, 30000ms, 4, false, Ending::Displaced, 4000}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ServerTest, HalfClosedUpdaterGetsTheWholeAnswer) {
  server_test::WriteHandmadeStore(store_, {{{"big.bin", kBigBody}}});
  Start();
  TestClient client(port(), 4096);
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.SendRequest(session::RequestFilesOnly, 0, 0));
  client.ShutdownSending();
  const auto answer = client.ReadAnswer(false);
  ASSERT_TRUE(answer.complete);
  EXPECT_EQ(answer.files[0].body, ReadFile(store_ + "/major/1/files/big.bin.gz"));
  EXPECT_TRUE(WaitFor([&] { return server_->Count(Ending::Completed) == 1; }));
}

// ---- the store as an operator may handle it while it is served ---------------

TEST_F(ServerTest, StoreFolderReplacedByACopyIsFollowed) {
  PublishFiles(0, {{"a.dat", "a1"}});
  Start();
  const std::string backup = dir_ / "backup";
  std::filesystem::copy(store_, backup, std::filesystem::copy_options::recursive);
  std::filesystem::remove_all(store_);
  std::filesystem::copy(backup, store_, std::filesystem::copy_options::recursive);

  const auto answer = TestClient(port()).Update(0, 0);
  ASSERT_TRUE(answer.complete);
  EXPECT_EQ(answer.files[0].body, ReadFile(store_ + "/major/1/files/a.dat.gz"));
  PublishFiles(0, {{"b.dat", "b2"}});
  EXPECT_TRUE(WaitFor([&] {
    const auto reply = TestClient(port()).ReadReply();
    return reply && reply->major == 2;
  }));
}

TEST_F(ServerTest, RemovedStateFileLeavesTheStateServed) {
  PublishFiles(0, {{"a.dat", "a1"}});
  PublishFiles(1, {{"p.txt", "p1"}});
  Start();
  std::filesystem::remove(store_ + "/CURRENT");
  EXPECT_TRUE(LogHas("CURRENT is missing"));
  std::this_thread::sleep_for(1200ms);  // a look or two more
  const auto reply = TestClient(port()).ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->major, 1u);
  EXPECT_EQ(reply->minor, 1u);
  EXPECT_EQ(TestClient(port()).Update(0, 0).files.size(), 2u);
  const std::string log = Log();
  EXPECT_EQ(log.find("CURRENT is missing"), log.rfind("CURRENT is missing")) << "said more than once";
}

TEST_F(ServerTest, SlowStoreLoadLeavesSessionsServed) {
  PublishFiles(0, {{"a.dat", "a1"}});
  Start();
  TestClient early(port());
  ASSERT_TRUE(early.ReadReply());
  // A state file that cannot be read until someone writes it: loading it
  // takes as long as the test wants.
  const std::string fifo = store_ + "/slow";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::filesystem::create_hard_link(fifo, store_ + "/CURRENT.slow");
  std::filesystem::rename(store_ + "/CURRENT.slow", store_ + "/CURRENT");
  std::this_thread::sleep_for(300ms);

  ASSERT_TRUE(early.SendRequest(session::RequestFilesOnly, 0, 0));
  const bool served = early.ReadAnswer(false).complete;
  TestClient late(port());
  const auto reply = late.ReadReply();

  // A plain state file again, then the reader waiting on the slow one gets its text.
  const std::string state = "format 1\nmajor 1\nminor 0\nnotice none\nlast-stamp 0\n";
  WriteFile(store_ + "/CURRENT.new", state);
  std::filesystem::rename(store_ + "/CURRENT.new", store_ + "/CURRENT");
  int writer = -1;
  ASSERT_TRUE(WaitFor([&] { return (writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }))
      << "nobody is reading the slow state file";
  EXPECT_EQ(::write(writer, state.data(), state.size()), static_cast<ssize_t>(state.size()));
  ::close(writer);

  EXPECT_TRUE(served) << "a session in progress waited for the store";
  ASSERT_TRUE(reply) << "a new session waited for the store";
  EXPECT_EQ(reply->major, 1u);
}

// ---- a server that cannot start gives back everything it opened -------------

/// Descriptors open in this process.
std::size_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count - 1;  // the listing's own
}

struct FailedStartCase {
  const char* label;
  /// Makes OPTIONS fail to start; TAKEN is the port of a server running meanwhile.
  std::function<void(server::ServerOptions& options, const std::string& dir, std::uint16_t taken)> make;
  const char* message;
};

void PrintTo(const FailedStartCase& c, std::ostream* out) { *out << c.label; }

class FailedStart : public ServerTest, public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedStart, LeavesNoDescriptorOpen) {
  PublishFiles(0, {{"a.dat", "a1"}});
  server::ServerOptions options;
  options.store = store_;
  options.listenAddress = session::kLoopbackAddress;
  options.port = 0;
  options.log = nullptr;
  Start();
  GetParam().make(options, dir_ / "failing", port());
  const std::size_t before = OpenDescriptors();
  for (int i = 0; i < 10; ++i) {
    try {
      server::UpdateServer failing(options);
      ADD_FAILURE() << "started";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, FailedStart,
    ::testing::Values(FailedStartCase{"AddressNotOfThisMachine",
                                      [](server::ServerOptions& o, const std::string&, std::uint16_t) {
                                        ASSERT_TRUE(session::ParseIpv4("192.0.2.1", o.listenAddress));
                                      },
                                      "cannot listen on 192.0.2.1:0: "},
                      FailedStartCase{"PortTaken",
                                      [](server::ServerOptions& o, const std::string&, std::uint16_t taken) {
                                        o.port = taken;
                                      },
                                      "cannot listen on 127.0.0.1:"},
                      FailedStartCase{"StoreThatCannotLoad",
                                      [](server::ServerOptions& o, const std::string& dir, std::uint16_t) {
                                        server_test::WriteHandmadeStore(dir, {{{"a.dat", 2}}});
                                        WriteFile(dir + "/CURRENT",
                                                  "format 1\nmajor 2\nminor 0\nnotice none\nlast-stamp 0\n");
                                        o.store = dir;
                                      },
                                      "major/2"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- a socket option or an epoll change the system refuses is never silent ---

struct RefusalCase {
  const char* label;
  int option;        // of setsockopt(IPPROTO_TCP, ...) to refuse, or -1
  long long mod;     // events of epoll_ctl(EPOLL_CTL_MOD) to refuse, or -1
  bool big;          // an answer in pieces, more than the socket buffers hold
  bool asks;         // the client sends its request and reads the answer
  const char* said;  // in the log, or why Run failed
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.label; }

class SystemRefusal : public ServerTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SystemRefusal, EndsTheSessionOrTheServerWithTheReason) {
  const RefusalCase& c = GetParam();
  if (c.big) {
    server_test::WriteHandmadeStore(store_, {{{"big.bin", kBigBody}}});
  } else {
    PublishFiles(0, {{"a", "a"}});
  }
  server::ServerOptions options;
  options.maxSessions = 1;  // the first session fills the server
  options.timeout = 1000ms;
  Start(options);
  failingOption = c.option;
  failingModify = c.mod;
  TestClient client(port(), 4096);
  if (c.asks) {
    client.Update(0, 0);
  } else {
    client.ReadReply();  // none when the session ends at once
  }
  EXPECT_TRUE(WaitFor([&] { return (Log() + RunError()).find(c.said) != std::string::npos; }))
      << Log() << RunError();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, SystemRefusal,
    ::testing::Values(RefusalCase{"NoDelay", TCP_NODELAY, -1, false, false, "network error: TCP_NODELAY: "},
                      RefusalCase{"Cork", TCP_CORK, -1, true, true, "network error: TCP_CORK: "},
                      RefusalCase{"WatchForRoom", -1, EPOLLIN | EPOLLRDHUP | EPOLLOUT, true, true,
                                  "network error: cannot watch the session: "},
                      RefusalCase{"PauseAccepting", -1, 0, false, false,
                                  "epoll: cannot watch the listening socket: "}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ServerTest, StopEndsOpenSessions) {
  PublishFiles(0, {{"a", "a"}});
  Start();
  TestClient one(port()), two(port());
  ASSERT_TRUE(one.ReadReply());
  ASSERT_TRUE(two.ReadReply());
  server_->Stop();
  thread_.join();
  EXPECT_TRUE(one.WaitClosed(1000));
  EXPECT_TRUE(two.WaitClosed(1000));
  EXPECT_EQ(server_->Count(Ending::Stopped), 2u);
  EXPECT_NE(Log().find("stopped: 2 session(s) served, 2 ended by the stop"), std::string::npos);
  server_.reset();
}

}  // namespace
