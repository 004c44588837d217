// A front update server with back servers, as real processes: which backs it
// hands out as they refuse, lag behind or catch up, in which proportions, and
// what it says about them; and its metrics as a scraper reads them.
//
// The back servers listen on the redirect port of 127.0.0.2 and up, so these
// tests run in a network namespace of their own (skipped where that is not
// allowed).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "store_builder.h"
#include "test_client.h"
#include "test_support/temp_dir.h"

using namespace std::chrono_literals;
using server_test::TestClient;
using test_support::ReadFile;
using test_support::TempDir;

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

int Shell(const std::string& command) { return std::system(command.c_str()); }

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

/// `update-server serve STORE --listen ADDRESS OPTIONS`, its output in LOG.
class ServerProcess {
 public:
  ServerProcess(const std::string& store, const std::string& address, const std::string& log,
                const std::string& options = "")
      : log_(log) {
    const std::string command = "exec " + std::string(UPDATE_SERVER) + " serve " + Quote(store) +
                                " --listen " + address + " " + options + " > " + Quote(log) + " 2>&1";
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    WaitFor([&] { return Log().find("serving ") != std::string::npos; });
  }
  ~ServerProcess() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::string Log() const { return ReadFile(log_); }
  /// The port of the line "LABEL ... ADDRESS:PORT".
  int PortAfter(const std::string& label) const {
    std::smatch m;
    const std::string text = Log();
    const std::regex line(label + "[^\n]*:([0-9]+)");
    return std::regex_search(text, m, line) ? std::stoi(m[1]) : 0;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

/// The redirect the front at 127.0.0.1:PORT names ("" for none).
std::string AskFront(std::uint16_t port) {
  TestClient client(port);
  const auto reply = client.ReadReply();
  if (!reply) return "no reply";
  return reply->redirect == 0 ? "" : session::Ipv4ToText(reply->redirect);
}

// ---- back servers -------------------------------------------------------

/// What a back server serves, against the front's major 1.
enum class Back {
  Same,         ///< the front's state
  Stale,        ///< no release yet (a copy that has not arrived)
  Absent,       ///< nothing listens: refused
  Redirecting,  ///< the front's state, but it sends its own updaters on
};

struct FleetCase {
  const char* label;
  std::vector<Back> backs;  ///< on 127.0.0.2 and up
  std::vector<int> weights;
  std::vector<int> handedOut;  ///< per back over kRounds sessions; 0 for all: the front serves
  std::vector<const char*> health;
};
constexpr int kRounds = 60;

class Fleet : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A namespace of its own for this process and the servers it starts,
    // with its loopback up: the redirect port is free on every 127.0.0.x.
    if (::unshare(CLONE_NEWNET) != 0) return;
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq lo{};
    std::snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
    isolated_ = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &lo) == 0 && ((lo.ifr_flags |= IFF_UP), true) &&
                ::ioctl(s, SIOCSIFFLAGS, &lo) == 0;
    ::close(s);
  }
  void SetUp() override {
    if (!isolated_)
      GTEST_SKIP() << "network namespaces are not permitted here (unshare(CLONE_NEWNET) failed)";
  }
  std::string Store(const std::string& name, bool withRelease) {
    const std::string store = dir_ / name;
    Shell("mkdir -p " + Quote(store));
    if (withRelease) Publish(store);
    return store;
  }
  void Publish(const std::string& store) {
    server_test::MakeFolder(dir_ / "files", {{"game.exe", "game"}, {"data/a.dat", "aaaa"}});
    ASSERT_EQ(Shell(std::string(UPDATE_SERVER) + " publish " + Quote(store) + " major " +
                    Quote(dir_ / "files") + " > /dev/null"),
              0);
  }
  std::unique_ptr<ServerProcess> StartBack(int i, Back kind, const std::string& store) {
    const std::string at = "127.0.0." + std::to_string(i + 2);
    // A back of its own, which it checks and names.
    if (kind == Back::Redirecting) {
      ownBack_ = std::make_unique<ServerProcess>(store, "127.0.0.9:43001", dir_ / "own.log");
    }
    auto back = std::make_unique<ServerProcess>(
        store, at + ":43001", dir_ / ("back" + std::to_string(i) + ".log"),
        kind == Back::Redirecting ? "--redirect 127.0.0.9 --check-interval 0.1" : "");
    if (kind == Back::Redirecting) WaitFor([&] { return back->Log().find(": up") != std::string::npos; });
    return back;
  }
  std::unique_ptr<ServerProcess> StartFront(const std::string& redirects) {
    return std::make_unique<ServerProcess>(Store("front", true), "127.0.0.1:43001", dir_ / "front.log",
                                           redirects + " --check-interval 0.1");
  }

  static inline bool isolated_ = false;
  TempDir dir_;
  std::unique_ptr<ServerProcess> ownBack_;
};

class FleetChoice : public Fleet, public ::testing::WithParamInterface<FleetCase> {};

TEST_P(FleetChoice, HandsOutQualifiedBacksByWeight) {
  const FleetCase& c = GetParam();
  std::vector<std::unique_ptr<ServerProcess>> backs;
  std::string redirects;
  for (std::size_t i = 0; i < c.backs.size(); ++i) {
    if (c.backs[i] != Back::Absent) {
      backs.push_back(StartBack(static_cast<int>(i), c.backs[i],
                                Store("back" + std::to_string(i), c.backs[i] != Back::Stale)));
    }
    redirects += " --redirect 127.0.0." + std::to_string(i + 2) + ":" + std::to_string(c.weights[i]);
  }
  const auto front = StartFront(redirects);
  // Every back judged once.
  ASSERT_TRUE(WaitFor([&] { return CountOf(front->Log(), "back 127.0.0.") >= c.backs.size(); }))
      << front->Log();
  std::this_thread::sleep_for(300ms);

  std::vector<std::string> turns;
  std::map<std::string, int> counts;
  for (int i = 0; i < kRounds; ++i) {
    turns.push_back(AskFront(43001));
    ++counts[turns.back()];
  }
  for (std::size_t i = 0; i < c.backs.size(); ++i) {
    EXPECT_EQ(counts["127.0.0." + std::to_string(i + 2)], c.handedOut[i]) << "back " << i;
  }
  // Spread evenly: any run of turns gives each live back its share within one.
  int live = 0;
  for (std::size_t i = 0; i < c.backs.size(); ++i) live += c.handedOut[i] > 0 ? c.weights[i] : 0;
  for (std::size_t i = 0; i < c.backs.size() && live > 0; ++i) {
    if (c.handedOut[i] == 0) continue;
    const std::string name = "127.0.0." + std::to_string(i + 2);
    for (std::size_t from = 0; from < turns.size(); ++from) {
      int seen = 0;
      for (std::size_t to = from; to < turns.size(); ++to) {
        seen += turns[to] == name;
        const double share = static_cast<double>(to - from + 1) * c.weights[i] / live;
        ASSERT_LE(std::abs(seen - share), 1.0 + 1e-9) << name << " turns " << from << ".." << to;
      }
    }
  }
  if (std::all_of(c.handedOut.begin(), c.handedOut.end(), [](int n) { return n == 0; })) {
    // None qualifies: the front sends the files itself.
    TestClient client(43001);
    ASSERT_TRUE(client.ReadReply());
    ASSERT_TRUE(client.SendRequest(session::RequestFilesOnly, 0, 0));
    EXPECT_TRUE(client.ReadAnswer(false).complete);
  }
  const std::string log = front->Log();
  for (std::size_t i = 0; i < c.backs.size(); ++i) {
    const std::string name = "back 127.0.0." + std::to_string(i + 2) + ":43001";
    EXPECT_EQ(CountOf(log, name), 1u) << log;
    EXPECT_EQ(CountOf(log, name + c.health[i]), 1u) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Backs, FleetChoice,
    ::testing::Values(FleetCase{"Weights123",
                                {Back::Same, Back::Same, Back::Same},
                                {1, 2, 3},
                                {10, 20, 30},
                                {" serving 1 0 stamp 0: up", " serving 1 0 stamp 0: up",
                                 " serving 1 0 stamp 0: up"}},
                      FleetCase{"RefusingSkipped",
                                {Back::Same, Back::Absent},
                                {1, 1},
                                {60, 0},
                                {" serving 1 0 stamp 0: up", ": down (refused)"}},
                      FleetCase{"StaleSkipped",
                                {Back::Stale, Back::Same, Back::Same},
                                {5, 1, 2},
                                {0, 20, 40},
                                {": down (serves 0 0 stamp 0, not 1 0 stamp 0)", " serving 1 0 stamp 0: up",
                                 " serving 1 0 stamp 0: up"}},
                      FleetCase{"NoneQualifies",
                                {Back::Stale, Back::Absent, Back::Redirecting},
                                {1, 1, 1},
                                {0, 0, 0},
                                {": down (serves 0 0 stamp 0, not 1 0 stamp 0)", ": down (refused)",
                                 ": down (redirects to 127.0.0.9)"}}),
    [](const auto& info) { return std::string(info.param.label); });

// A back comes into use once it answers with the front's state, and out of
// use when it stops answering; each change is one line.
TEST_F(Fleet, FollowsBacksAsTheyComeAndGo) {
  const std::string lagging = Store("back1", false);
  const auto front = StartFront("--redirect 127.0.0.2 --redirect 127.0.0.3");
  auto refusing = std::unique_ptr<ServerProcess>();
  const auto behind = StartBack(1, Back::Stale, lagging);
  const auto handsOut = [&](const std::string& back) {
    return WaitFor([&] {
      for (int i = 0; i < 4; ++i) {
        if (AskFront(43001) == back) return true;
      }
      return false;
    });
  };
  ASSERT_TRUE(WaitFor([&] { return CountOf(front->Log(), ": down (") == 2; })) << front->Log();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(AskFront(43001), "");

  refusing = StartBack(0, Back::Same, Store("back0", true));
  EXPECT_TRUE(handsOut("127.0.0.2"));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(AskFront(43001), "127.0.0.2");

  Publish(lagging);  // its copy arrives
  EXPECT_TRUE(handsOut("127.0.0.3"));

  refusing->Stop();
  ASSERT_TRUE(WaitFor([&] { return CountOf(front->Log(), "back 127.0.0.2:43001: down") == 2; }));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(AskFront(43001), "127.0.0.3");

  const std::string log = front->Log();
  EXPECT_EQ(CountOf(log, "back 127.0.0.2:43001"), 3u) << log;  // down, up, down
  EXPECT_EQ(CountOf(log, "back 127.0.0.3:43001"), 2u) << log;  // down, up
  EXPECT_EQ(CountOf(log, "back 127.0.0.3:43001 serving 1 0 stamp 0: up"), 1u) << log;
}

}  // namespace
