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
void PrintTo(const FleetCase& c, std::ostream* os) { *os << c.label; }

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

// A back at an address of the front's own machine is the front itself: never
// handed out, whatever state it answers with.
TEST_F(Fleet, NeverNamesItself) {
  const auto front =
      std::make_unique<ServerProcess>(Store("front", true), "0.0.0.0:43001", dir_ / "front.log",
                                      "--redirect 127.0.0.2 --check-interval 0.05");
  ASSERT_TRUE(WaitFor([&] { return CountOf(front->Log(), "back 127.0.0.2") > 0; }));
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(AskFront(43001), "");
    std::this_thread::sleep_for(10ms);
  }
  const std::string log = front->Log();
  EXPECT_EQ(CountOf(log, "back 127.0.0.2:43001"), 1u) << log;
  EXPECT_EQ(CountOf(log, "back 127.0.0.2:43001: down (this server itself)"), 1u) << log;
}

// ---- metrics ------------------------------------------------------------

/// The samples of one scrape of 127.0.0.1:PORT, "name{labels}" -> value;
/// empty when the parser refused the text.
std::map<std::string, double> Scrape(int port) {
  std::map<std::string, double> samples;
  const std::string command =
      std::string(SCRAPE_SCRIPT) + " http://127.0.0.1:" + std::to_string(port) + "/metrics";
  std::FILE* out = ::popen(command.c_str(), "r");
  char line[512];
  while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
    std::istringstream row(line);
    std::string key;
    double value = 0;
    row >> key >> value;
    samples[key] = value;
  }
  if (out == nullptr || ::pclose(out) != 0) samples.clear();
  return samples;
}

/// The status line of the answer to REQUEST, sent to 127.0.0.1:PORT as is.
std::string StatusOf(int port, const std::string& request) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{5, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  }
  ::close(s);
  return answer.substr(0, answer.find("\r\n"));
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    server_test::MakeFolder(dir_ / "files", {{"game.exe", "game"}, {"data/a.dat", std::string(200000, 'a')}});
    ASSERT_EQ(Shell(std::string(UPDATE_SERVER) + " publish " + Quote(dir_ / "store") + " major " +
                    Quote(dir_ / "files") + " > /dev/null"),
              0);
    server_ = std::make_unique<ServerProcess>(dir_ / "store", "127.0.0.1:0", dir_ / "server.log",
                                              "--metrics 127.0.0.1:0 --timeout 0.5");
    sessions_ = server_->PortAfter("serving ");
    metrics_ = server_->PortAfter("metrics on ");
    ASSERT_GT(metrics_, 0) << server_->Log();
  }

  TempDir dir_;
  std::unique_ptr<ServerProcess> server_;
  int sessions_ = 0, metrics_ = 0;
};

// What a scrape says agrees with the session lines of the log.
TEST_F(Metrics, CountersAgreeWithTheLog) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(TestClient(sessions_).Update(0, 0).complete);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(TestClient(sessions_).ReadReply());
  {
    TestClient refused(sessions_);
    refused.SendRequest(0x07, 0, 0);
    EXPECT_TRUE(refused.WaitClosed(5000));
  }
  TestClient idle(sessions_);
  EXPECT_TRUE(idle.WaitClosed(5000));
  ASSERT_TRUE(WaitFor([&] { return CountOf(server_->Log(), " s: ") == 7; })) << server_->Log();

  // Each ending of a log line and the outcome it is counted under.
  const std::vector<std::pair<const char*, const char*>> outcomes = {
      {": completed", "completed"},
      {": closed by the updater without a request", "closed_after_reply"},
      {": dropped: no request within the timeout", "dropped_idle"},
      {": dropped: not an update request", "refused_request"},
      {": closed by the updater before the end", "closed_early"}};
  const std::string log = server_->Log();
  const auto samples = Scrape(metrics_);
  ASSERT_FALSE(samples.empty()) << "the scrape did not parse";
  for (const auto& [ending, outcome] : outcomes) {
    EXPECT_EQ(samples.at(std::string("update_server_sessions_total{outcome=") + outcome + "}"),
              CountOf(log, ending))
        << outcome;
  }
  double bytes = 0;
  const std::regex sent(", ([0-9]+) bytes, ");
  for (std::sregex_iterator m(log.begin(), log.end(), sent), end; m != end; ++m) bytes += std::stod((*m)[1]);
  EXPECT_EQ(samples.at("update_server_sent_bytes_total{}"), bytes);
  EXPECT_EQ(samples.at("update_server_session_duration_seconds_count{}"), 7);
  EXPECT_EQ(samples.at("update_server_session_duration_seconds_bucket{le=+Inf}"), 7);
  EXPECT_EQ(samples.at("update_server_sessions_in_progress{}"), 0);
  EXPECT_EQ(samples.at("update_server_store_version{kind=major}"), 1);
  EXPECT_EQ(samples.at("update_server_store_version{kind=minor}"), 0);
  EXPECT_GT(samples.at("update_server_last_publish_timestamp_seconds{}"), 1.7e9);
}

struct ScrapeCase {
  const char* label;
  std::string request;
  const char* status;
};

void PrintTo(const ScrapeCase& c, std::ostream* os) { *os << c.label; }

class MetricsRequest : public Metrics, public ::testing::WithParamInterface<ScrapeCase> {};

TEST_P(MetricsRequest, GetsItsStatus) {
  EXPECT_EQ(StatusOf(metrics_, GetParam().request), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MetricsRequest,
    ::testing::Values(ScrapeCase{"Get11", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
                      ScrapeCase{"Get10", "GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
                      ScrapeCase{"Post", "POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
                      ScrapeCase{"Head", "HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
                      ScrapeCase{"OtherPath", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                      ScrapeCase{"Query", "GET /metrics?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                      ScrapeCase{"NoVersion", "GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                      ScrapeCase{"OtherProtocol", "GET /metrics SPDY/3\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                      ScrapeCase{"Endless", "GET /metrics HTTP/1.1\r\nX: " + std::string(4000, 'x'),
                                 "HTTP/1.1 400 Bad Request"}),
    [](const auto& info) { return std::string(info.param.label); });

// Scrapers that never finish their request hold no session up, and are
// dropped in time so that the next scrape is answered.
TEST_F(Metrics, StalledScrapersHoldNothingUp) {
  std::vector<std::unique_ptr<TestClient>> stalled;
  for (int i = 0; i < 8; ++i) {
    stalled.push_back(std::make_unique<TestClient>(metrics_));
    ASSERT_TRUE(stalled.back()->Send({'G', 'E', 'T'}));
  }
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(TestClient(sessions_).Update(0, 0).complete);
  EXPECT_TRUE(stalled.back()->WaitClosed(1000));   // no room for it: closed at once
  EXPECT_TRUE(stalled.front()->WaitClosed(6000));  // past its deadline
  const auto samples = Scrape(metrics_);
  ASSERT_FALSE(samples.empty());
  EXPECT_EQ(samples.at("update_server_sessions_total{outcome=completed}"), 3);
}

}  // namespace
