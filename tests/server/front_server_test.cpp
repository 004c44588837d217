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
#include <sys/epoll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "store_builder.h"
#include "test_client.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"

using namespace std::chrono_literals;
using server_test::TestClient;
using test_support::ReadFile;
using test_support::TempDir;

namespace {

// A back's health shows in the front's log within one check interval and a
// timeout; 5 s is well beyond both.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  return test_support::WaitUntil(condition, timeout);
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
  /// Ends it at once, as a machine that dies: nothing is flushed or closed.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
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

/// Each ending of a session log line and the outcome it is counted under.
const std::vector<std::pair<const char*, const char*>> kOutcomes = {
    {": completed", "completed"},
    {": closed by the updater without a request", "closed_after_reply"},
    {": dropped: no request within the timeout", "dropped_idle"},
    {": dropped: not an update request", "refused_request"},
    {": closed by the updater before the end", "closed_early"}};

std::string OutcomeKey(const char* outcome) {
  return std::string("update_server_sessions_total{outcome=") + outcome + "}";
}

/// Every session outcome in SAMPLES is as often as LOG's lines say.
void ExpectOutcomesAsLogged(const std::map<std::string, double>& samples, const std::string& log) {
  for (const auto& [ending, outcome] : kOutcomes) {
    ASSERT_EQ(samples.count(OutcomeKey(outcome)), 1u) << outcome;
    EXPECT_EQ(samples.at(OutcomeKey(outcome)), CountOf(log, ending)) << outcome;
  }
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

  const std::string log = server_->Log();
  const auto samples = Scrape(metrics_);
  ASSERT_FALSE(samples.empty()) << "the scrape did not parse";
  ExpectOutcomesAsLogged(samples, log);
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

// ---- a fleet under load -------------------------------------------------

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

/// One visit of an updater to the front: when its reply came (seconds into
/// the run) and the back it named (0 for none).
struct Visit {
  double at = 0;
  session::Ipv4Address back = 0;
};

/// What one updater went through, over all its attempts.
struct UpdaterRun {
  std::uint32_t installed = 0;         ///< the major version it has (minor 0)
  std::chrono::milliseconds pause{0};  ///< between the reply and its request
  std::vector<Visit> visits;
  std::vector<std::string> failures;  ///< why each attempt but the last ended
  bool complete = false;
  session::Ipv4Address servedBy = 0;  ///< the back that sent the files; 0 for the front
  bool asked = false;                 ///< its last attempt sent a request
  session::VersionReply front;        ///< of its last visit to the front
  session::VersionReply offered;      ///< of the server that sent the files
  std::vector<server_test::ReceivedFile> files;
};

enum class Parsed { Partial, Whole, Garbled };

/// An answer to a notice-and-files request at the start of BYTES.
Parsed ParseAnswer(const std::string& bytes, std::vector<server_test::ReceivedFile>& files) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t at = 0;
  const auto has = [&](std::size_t n) { return at + n <= bytes.size(); };
  if (!has(session::kNoticeLengthSize)) return Parsed::Partial;
  at += session::kNoticeLengthSize + session::DecodeNoticeLength(p);
  if (!has(session::kFileListHeaderSize)) return Parsed::Partial;
  const session::FileListHeader list = session::DecodeFileListHeader(p + at);
  at += session::kFileListHeaderSize;
  files.clear();
  for (int i = 0; i < list.counts[0] + list.counts[1]; ++i) {
    if (!has(2)) return Parsed::Partial;
    const std::uint16_t length = session::GetU16(p + at);
    if (length < session::kFileHeaderMinSize) return Parsed::Garbled;
    if (!has(length)) return Parsed::Partial;
    session::FileHeader h;
    if (session::DecodeFileHeader(p + at, h) != session::HeaderVerdict::Accepted) return Parsed::Garbled;
    at += length;
    if (!has(static_cast<std::size_t>(h.bodyLength))) return Parsed::Partial;
    files.push_back({h.name, h.version, bytes.substr(at, static_cast<std::size_t>(h.bodyLength))});
    at += static_cast<std::size_t>(h.bodyLength);
  }
  return at == bytes.size() ? Parsed::Whole : Parsed::Garbled;
}

/// Updaters as players run them: each from an address of its own, to the
/// front at 127.0.0.1, on to the back it names, the whole answer read; an
/// attempt that fails starts over at the front. Non-blocking, with at most
/// INFLIGHT at once, the I-th started no earlier than I * SPACING into the run.
class Crowd {
 public:
  Crowd(std::vector<UpdaterRun>& runs, Clock::time_point start) : runs_(runs), start_(start) {}

  /// False when the run outlasted LIMIT.
  bool Run(std::size_t inFlight, std::chrono::microseconds spacing, std::chrono::seconds limit) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_ = epoll;
    std::vector<Connection> connections(runs_.size());
    std::size_t next = 0, open = 0, done = 0;
    std::vector<epoll_event> events(64);
    while (done < runs_.size()) {
      for (std::size_t i = 0; i < waiting_.size();) {
        Connection& c = *waiting_[i];
        if (Clock::now() < c.askAt) {
          ++i;
          continue;
        }
        waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
        if (!Ask(c)) Finished(open, done);
      }
      if (Clock::now() - start_ > limit) break;
      while (open < inFlight && next < runs_.size() && Clock::now() >= start_ + next * spacing) {
        connections[next].run = next;
        ++open;
        if (!StartAtFront(connections[next])) Finished(open, done);
        ++next;
      }
      const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 2);
      for (int i = 0; i < n; ++i) {
        Connection& c = *static_cast<Connection*>(events[i].data.ptr);
        if (c.askAt != Clock::time_point{}) continue;  // read once it has asked
        if (!Serve(c)) Finished(open, done);
      }
    }
    for (Connection& c : connections) Drop(c);
    ::close(epoll);
    return done == runs_.size();
  }

 private:
  static constexpr int kAttempts = 6;
  struct Connection {
    std::size_t run = 0;
    int fd = -1;
    session::Ipv4Address at = 0;  ///< the back it is connected to; 0 for the front
    bool asked = false;
    Clock::time_point askAt;  ///< while it waits to send its request
    std::string bytes;
  };

  /// Sends the request of C; false once C is done.
  bool Ask(Connection& c) {
    UpdaterRun& run = runs_[c.run];
    c.askAt = {};
    std::uint8_t request[session::kUpdateRequestSize];
    session::EncodeUpdateRequest({session::RequestNoticeAndFiles, run.installed, 0}, request);
    if (::send(c.fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
      return Retry(c, "cannot send the request");
    }
    c.asked = run.asked = true;
    return Serve(c);
  }

  static void Finished(std::size_t& open, std::size_t& done) {
    --open;
    ++done;
  }
  void Drop(Connection& c) {
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
  }
  /// Connects C to the front (AT 0) or to back AT; false when it gave up.
  bool Connect(Connection& c, session::Ipv4Address at) {
    Drop(c);
    c.at = at;
    c.asked = false;
    c.bytes.clear();
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F010000u + static_cast<std::uint32_t>(c.run) + 1);  // 127.1.x.y
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(session::kRedirectPort);
    to.sin_addr.s_addr = at == 0 ? session::kLoopbackAddress : at;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = &c;
    if (::bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) ||
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev) != 0) {
      return Retry(c, std::string("cannot connect: ") + std::strerror(errno));
    }
    return true;
  }
  bool StartAtFront(Connection& c) { return Connect(c, 0); }
  /// Records why the attempt of C failed and starts the next one.
  bool Retry(Connection& c, const std::string& why) {
    UpdaterRun& run = runs_[c.run];
    run.failures.push_back(why + (c.at == 0 ? " (front)" : " (" + session::Ipv4ToText(c.at) + ")"));
    Drop(c);
    return run.failures.size() < kAttempts && StartAtFront(c);
  }
  /// Reads what arrived on C and moves it on; false once C is done.
  bool Serve(Connection& c) {
    UpdaterRun& run = runs_[c.run];
    bool ended = false;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        c.bytes.append(buffer, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EAGAIN) {
        break;
      } else {
        if (n < 0 && c.bytes.empty() && !c.asked) return Retry(c, std::strerror(errno));
        ended = true;
        break;
      }
    }
    if (!c.asked) {
      if (c.bytes.size() < session::kVersionReplySize) {
        return ended ? Retry(c, "closed before the reply") : true;
      }
      const auto reply = session::DecodeVersionReply(reinterpret_cast<const std::uint8_t*>(c.bytes.data()));
      if (c.bytes.size() > session::kVersionReplySize) return Retry(c, "bytes after the reply");
      if (c.at == 0) {
        run.visits.push_back({SecondsSince(start_), reply.redirect});
        run.front = reply;
        if (reply.redirect != 0) return Connect(c, reply.redirect);
      } else if (reply.redirect != 0) {
        return Retry(c, "the back redirects again");
      }
      run.offered = reply;
      run.servedBy = c.at;
      c.bytes.clear();
      if (ended) return Retry(c, "closed after the reply");
      if (run.pause.count() == 0) return Ask(c);
      c.askAt = Clock::now() + run.pause;
      waiting_.push_back(&c);
      return true;
    }
    switch (ParseAnswer(c.bytes, run.files)) {
      case Parsed::Whole:
        run.complete = true;
        Drop(c);
        return false;
      case Parsed::Garbled:
        return Retry(c, "a garbled answer");
      case Parsed::Partial:
        return ended ? Retry(c, "closed before the end of the answer") : true;
    }
    return true;
  }

  std::vector<UpdaterRun>& runs_;
  Clock::time_point start_;
  int epoll_ = -1;
  std::vector<Connection*> waiting_;
};

/// File F as major version V has it: words that compress to about a third.
std::string FleetFile(int f, std::uint32_t v) {
  std::mt19937 random(static_cast<unsigned>(f * 100 + v));
  std::string text;
  const std::string version = "v" + std::to_string(v);
  while (text.size() < 12000) text.append(version).append(std::to_string(random() % 4000)).append(" ");
  return text;
}

/// The name of file F.
std::string FleetName(int f) { return std::string("f").append(std::to_string(f)).append(".dat"); }

/// A scrape of one server during the run, and how many of its session
/// lines per outcome had reached its log just before.
struct DuringRun {
  std::size_t server;  ///< 0 the front, 1.. the backs
  std::map<std::string, double> samples;
  std::map<std::string, std::size_t> loggedBefore;
};

// One front and three backs on four addresses, 2,000 updaters through them;
// mid-run a publish is copied to the backs as they serve, and one back dies.
// Every updater ends with exactly the files of one state, the one offered by
// the server that sent them; the dead back is soon no longer named; the
// live backs share the load evenly; the metrics agree with the logs.
TEST_F(Fleet, CarriesAPublishAndALostBackUnderLoad) {
  constexpr std::size_t kUpdaters = 2000;
  constexpr double kCheckInterval = 0.2;
  constexpr std::size_t kKilled = 1;
  // Major 1 brings eight files, 2 changes four of them before the run, 3
  // four during it, two of them the same as 2.
  const std::vector<std::vector<int>> changed = {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3}, {2, 3, 4, 5}};
  const std::string source = dir_ / "source";
  const auto publish = [&](std::uint32_t major) {
    server_test::Files files;
    for (int f : changed[major - 1]) files[FleetName(f)] = FleetFile(f, major);
    const std::string folder = dir_ / ("release" + std::to_string(major));
    server_test::MakeFolder(folder, files);
    return Shell(std::string(UPDATE_SERVER) + " publish " + Quote(source) + " major " + Quote(folder) +
                 " > /dev/null");
  };
  ASSERT_EQ(publish(1), 0);
  ASSERT_EQ(publish(2), 0);
  const std::vector<std::string> names = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  std::vector<session::Ipv4Address> addresses(names.size());
  std::string copy = std::string(STORE_SYNC) + " " + Quote(source), redirects;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(session::ParseIpv4(names[i], addresses[i]));
    copy += " " + Quote(dir_ / ("back" + std::to_string(i)));
    redirects += " --redirect " + names[i];
  }
  ASSERT_EQ(Shell(copy), 0);
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (std::size_t i = 0; i < names.size(); ++i) {
    servers.push_back(std::make_unique<ServerProcess>(
        dir_ / ("back" + std::to_string(i)), names[i] + ":43001",
        dir_ / ("back" + std::to_string(i) + ".log"), "--metrics 127.0.0.1:0 --rate 200000"));
  }
  servers.insert(servers.begin(),
                 std::make_unique<ServerProcess>(source, "127.0.0.1:43001", dir_ / "front.log",
                                                 redirects + " --metrics 127.0.0.1:0 --check-interval 0.2"));
  ServerProcess& front = *servers[0];
  ServerProcess& dying = *servers[1 + kKilled];
  std::vector<int> metricsPorts;
  for (const auto& s : servers) metricsPorts.push_back(s->PortAfter("metrics on "));
  ASSERT_TRUE(WaitFor([&] { return CountOf(front.Log(), " serving 2 0 stamp 0: up") == 3; })) << front.Log();

  // Mid-run: publish, copy, and once every back serves the new state, a
  // back dies. Meanwhile every live server is scraped now and then.
  std::vector<UpdaterRun> runs(kUpdaters);
  // Half of them take their time between the reply and the request, as a
  // busy player's machine may.
  for (std::size_t i = 0; i < kUpdaters; ++i) {
    runs[i].installed = static_cast<std::uint32_t>(i % 2);
    runs[i].pause = std::chrono::milliseconds(i % 4 < 2 ? 0 : 50 * (i % 7));
  }
  const auto start = Clock::now();
  double published = 0, allUp = 0, died = 0;  // seconds into the run
  bool copied = false, caughtUp = false;
  std::mutex scraping;
  std::atomic<bool> dead{false}, over{false};
  std::vector<DuringRun> scrapes;
  std::thread events([&] {
    std::this_thread::sleep_until(start + 1500ms);
    published = SecondsSince(start);  // the front may take it up before the command returns
    copied = publish(3) == 0;
    copied = copied && Shell(copy) == 0;
    caughtUp = WaitFor([&] { return CountOf(front.Log(), " serving 3 0 stamp 0: up") == 3; }, 10s);
    allUp = SecondsSince(start);
    std::this_thread::sleep_for(1500ms);
    const std::lock_guard<std::mutex> hold(scraping);
    std::this_thread::sleep_for(300ms);  // its log lines of the last scrape are out
    dying.Kill();
    died = SecondsSince(start);
    dead = true;
  });
  std::thread scraper([&] {
    while (!over) {
      {
        const std::lock_guard<std::mutex> hold(scraping);
        for (std::size_t s = 0; s < servers.size(); ++s) {
          if (s == 1 + kKilled && dead) continue;
          DuringRun scrape{s, {}, {}};
          const std::string log = servers[s]->Log();
          for (const auto& [ending, outcome] : kOutcomes) scrape.loggedBefore[outcome] = CountOf(log, ending);
          scrape.samples = Scrape(metricsPorts[s]);
          scrapes.push_back(std::move(scrape));
        }
      }
      std::this_thread::sleep_for(700ms);
    }
  });
  const bool finished = Crowd(runs, start).Run(64, 6000us, 90s);
  const double end = SecondsSince(start);
  events.join();
  over = true;
  scraper.join();
  ASSERT_TRUE(finished) << "the updaters did not finish in time";
  ASSERT_TRUE(copied && caughtUp) << front.Log();
  std::cout << "published at " << published << " s, all backs up at " << allUp << " s, back killed at "
            << died << " s, run over at " << end << " s\n";

  // Each updater ends with the whole of one state: the one the server that
  // sent the files offered, the newest or the one before, never behind the
  // front that named that server.
  std::map<std::pair<std::uint32_t, int>, std::string> stored;
  for (std::uint32_t v = 1; v <= 3; ++v) {
    for (int f : changed[v - 1]) {
      stored[{v, f}] = ReadFile(source + "/major/" + std::to_string(v) + "/files/" + FleetName(f) + ".gz");
    }
  }
  std::map<std::string, int> failures, wrong;
  std::map<session::Ipv4Address, int> completedAt;
  for (std::size_t i = 0; i < kUpdaters; ++i) {
    const UpdaterRun& run = runs[i];
    for (const std::string& why : run.failures) ++failures[why];
    if (!run.complete) {
      ++wrong["incomplete"];
      continue;
    }
    ++completedAt[run.servedBy];
    const std::uint32_t major = run.offered.major;
    if ((major != 2 && major != 3) || run.offered.minor != 0 || run.offered.noticeTime != 0) {
      ++wrong["offered neither state"];
      continue;
    }
    if (major < run.front.major) ++wrong["a back behind the front that named it"];
    std::map<std::string, std::string> expected, got;
    for (std::uint32_t v = run.installed + 1; v <= major; ++v) {
      for (int f : changed[v - 1]) expected[FleetName(f)] = stored[{v, f}];
    }
    for (const auto& file : run.files) got[file.name] = file.body;
    if (got != expected || run.files.size() != expected.size())
      ++wrong["files not those of the state offered"];
    if (run.files.empty() || run.files.back().version != major) ++wrong["a last version other than offered"];
  }
  for (const auto& [why, n] : failures) std::cout << "attempts ended early: " << n << " x " << why << "\n";
  EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
  EXPECT_GT(completedAt[addresses[kKilled]], 0);
  std::cout << "served by the front itself: " << completedAt[0] << "\n";

  // The front names the dead back no more once a check found it gone; the
  // live backs share the load evenly while the set of live backs stands.
  const double gone = died + kCheckInterval + 2.0;
  struct Window {
    const char* label;
    double from, to;
    std::vector<std::size_t> live;
  };
  const std::vector<Window> windows = {{"before the publish", 0, published, {0, 1, 2}},
                                       {"once every back had it", allUp, died, {0, 1, 2}},
                                       {"after the back died", gone, end + 1, {0, 2}}};
  double lastToDead = 0;
  std::map<session::Ipv4Address, int> redirected;
  for (const UpdaterRun& run : runs) {
    for (const Visit& visit : run.visits) {
      ++redirected[visit.back];
      if (visit.back == addresses[kKilled]) lastToDead = std::max(lastToDead, visit.at);
    }
  }
  EXPECT_LT(lastToDead, gone) << "named the dead back " << lastToDead - died << " s after it died";
  std::cout << "last sent to the dead back " << lastToDead - died << " s after it died\n";
  for (const Window& w : windows) {
    std::map<session::Ipv4Address, int> counts;
    int total = 0;
    for (const UpdaterRun& run : runs) {
      for (const Visit& visit : run.visits) {
        if (visit.at < w.from || visit.at >= w.to) continue;
        ++counts[visit.back];
        ++total;
      }
    }
    EXPECT_GE(total, 150) << w.label << ": too few updaters to judge";
    EXPECT_EQ(counts[0], 0) << w.label << ": the front served some itself";
    for (std::size_t b : w.live) {
      const double share = static_cast<double>(total) / static_cast<double>(w.live.size());
      EXPECT_NEAR(counts[addresses[b]], share, 0.1 * share) << w.label << ", back " << names[b];
      std::cout << w.label << ": " << names[b] << " " << counts[addresses[b]] << " of " << total << "\n";
    }
  }
  const std::string frontLog = front.Log();
  const std::string deadBack = "back " + names[kKilled] + ":43001";
  EXPECT_EQ(frontLog.substr(frontLog.rfind(deadBack)).substr(0, deadBack.size() + 16),
            deadBack + ": down (refused)")
      << frontLog;

  // The metrics agree with the logs: during the run between the lines out
  // before and those out at the end, and at the end exactly (the backs once
  // the front, which checks them, has stopped).
  std::this_thread::sleep_for(300ms);
  const auto frontSamples = Scrape(metricsPorts[0]);
  front.Stop();
  std::this_thread::sleep_for(300ms);
  std::vector<std::string> logs;
  for (const auto& s : servers) logs.push_back(s->Log());
  EXPECT_GE(scrapes.size(), 12u);
  for (const DuringRun& scrape : scrapes) {
    ASSERT_FALSE(scrape.samples.empty()) << "a scrape of server " << scrape.server << " did not parse";
    for (const auto& [ending, outcome] : kOutcomes) {
      const double value = scrape.samples.at(OutcomeKey(outcome));
      EXPECT_LE(scrape.loggedBefore.at(outcome), value) << outcome << " of server " << scrape.server;
      EXPECT_LE(value, CountOf(logs[scrape.server], ending)) << outcome << " of server " << scrape.server;
    }
  }
  for (std::size_t s = 0; s < servers.size(); ++s) {
    if (s == 1 + kKilled) continue;
    const auto samples = s == 0 ? frontSamples : Scrape(metricsPorts[s]);
    ASSERT_FALSE(samples.empty()) << "the last scrape of server " << s << " did not parse";
    ExpectOutcomesAsLogged(samples, logs[s]);
    EXPECT_EQ(samples.at(OutcomeKey("completed")), completedAt[s == 0 ? 0 : addresses[s - 1]])
        << "server " << s;
    if (s != 0) continue;
    for (std::size_t b = 0; b < names.size(); ++b) {
      EXPECT_EQ(samples.at("update_server_redirects_total{back=" + names[b] + "}"), redirected[addresses[b]]);
      EXPECT_EQ(samples.at("update_server_back_up{back=" + names[b] + "}"), b == kKilled ? 0 : 1);
    }
  }
}

}  // namespace
