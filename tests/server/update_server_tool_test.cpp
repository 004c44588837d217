// update-server as an operator runs it: commands, output and exit statuses;
// the real updater-console updating a game folder from the real server;
// publishers killed at random moments and publishing onto a full disk.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <thread>

#include "server/publish.h"
#include "store_builder.h"
#include "test_client.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using server_test::Files;
using server_test::MakeFolder;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

struct Ran {
  int status;
  std::string out;  // standard output and standard error
};

Ran Shell(const std::string& command) {
  Ran run{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) run.out.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

Ran Tool(const std::string& arguments) { return Shell(std::string(UPDATE_SERVER) + " " + arguments); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

/// `update-server serve` as a child process whose standard output is a file.
class ServerProcess {
 public:
  /// BEFORE runs in the same shell first (ulimit, for example).
  ServerProcess(const std::string& store, const std::string& log, const std::string& options = "",
                const std::string& before = "") {
    const std::string command = before + "exec " + std::string(UPDATE_SERVER) + " serve " + Quote(store) +
                                " --listen 127.0.0.1:0 " + options + " > " + Quote(log) + " 2>&1";
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    log_ = log;
    const std::regex serving("serving .* on 127\\.0\\.0\\.1:([0-9]+):");
    for (int i = 0; i < 500 && port_ == 0; ++i) {
      std::smatch m;
      const std::string text = ReadFile(log_);
      if (std::regex_search(text, m, serving)) port_ = std::stoi(m[1]);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) Stop();
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  /// SIGTERM; the exit status (-1 when it did not exit by itself).
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Log() const { return ReadFile(log_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
};

class ToolTest : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name, const Files& files) {
    MakeFolder(dir_ / name, files);
    return dir_ / name;
  }
  TempDir dir_;
  const std::string store_ = dir_ / "store";
};

struct UsageCase {
  const char* label;
  const char* arguments;
  int status;
  const char* output;
};

class Usage : public ToolTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, StatusAndMessage) {
  const Ran run = Tool(GetParam().arguments);
  EXPECT_EQ(run.status, GetParam().status) << run.out;
  EXPECT_TRUE(Has(run.out, GetParam().output)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Usage,
    ::testing::Values(
        UsageCase{"Help", "--help", 0, "publish STORE major|minor DIR"},
        UsageCase{"NoCommand", "", 2, "no command"},
        UsageCase{"UnknownCommand", "frobnicate", 2, "unknown command frobnicate"},
        UsageCase{"BadKind", "publish s sideways d", 2, "major or minor"},
        UsageCase{"MissingFolder", "publish /nonexistent/s major /nonexistent/d", 1,
                  "/nonexistent/d: not a folder; nothing was published"},
        UsageCase{"BadListen", "serve s --listen nowhere", 2, "ADDR:PORT"},
        UsageCase{"BadRedirect", "serve s --redirect 10.0.0", 2, "IPv4"},
        UsageCase{"BadCapPerAddress", "serve s --max-per-address many", 2,
                  "--max-per-address wants a number"},
        UsageCase{"BadRate", "serve s --rate fast", 2, "--rate wants bytes per second"},
        UsageCase{"ZeroMaxRate", "serve s --max-rate 0", 2, "--max-rate wants bytes per second"},
        UsageCase{"NoStore", "serve /nonexistent/store --listen 127.0.0.1:0", 1, "/nonexistent/store"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ToolTest, OperatorPublishesSetsTheNoticeAndShowsTheStore) {
  const std::string one = Folder(
      "one", {{"Mirvale.exe", std::string(3000, 'x')}, {"data/cars.dat", "cars"}, {"readme.txt", "hello"}});
  Ran run = Tool("publish " + Quote(store_) + " major " + Quote(one));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "published major version 1: 3 file(s), 3,009 bytes")) << run.out;

  WriteFile(dir_ / "notice.html", "<h1>\xEA\xB3\xB5\xEC\xA7\x80</h1>");
  run = Tool("notice " + Quote(store_) + " " + Quote(dir_ / "notice.html"));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "notice set: stamp ")) << run.out;

  run = Tool("show " + Quote(store_));
  ASSERT_EQ(run.status, 0) << run.out;
  for (const char* line : {"major 1, minor 0", "notice: stamp ", "major version 1, published ",
                           "3 file(s), 3,009 bytes", "3,000", "data\\cars.dat", "readme.txt"}) {
    EXPECT_TRUE(Has(run.out, line)) << line << "\n" << run.out;
  }

  const std::string bad = Folder("bad", {{"ok.txt", "ok"}, {"what?.txt", "x"}, {"tab\tname", "y"}});
  run = Tool("publish " + Quote(store_) + " minor " + Quote(bad));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.out, "2 file(s) cannot be published; nothing was published")) << run.out;
  EXPECT_TRUE(Has(run.out, "  what?.txt: character that Windows file names cannot hold")) << run.out;
  EXPECT_TRUE(Has(Tool("show " + Quote(store_)).out, "major 1, minor 0"));

  run = Tool("notice " + Quote(store_) + " --clear");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Has(Tool("show " + Quote(store_)).out, "notice: none"));
}

/// The server may run as another user (the service does): whatever the
/// operator's umask, everything publish and notice write can be read by it.
TEST_F(ToolTest, PrivateUmaskStillWritesAStoreOthersCanRead) {
  WriteFile(dir_ / "notice.html", "<p>n</p>");
  const std::string one = Folder("one", {{"a.dat", "a"}, {"data/b.dat", "b"}});
  ASSERT_EQ(Shell("umask 077; " + std::string(UPDATE_SERVER) + " publish " + Quote(store_) + " major " +
                  Quote(one) + " && " + UPDATE_SERVER + " notice " + Quote(store_) + " " +
                  Quote(dir_ / "notice.html"))
                .status,
            0);
  std::size_t entries = 0;
  for (const auto& e : fs::recursive_directory_iterator(store_)) {
    const fs::perms p = fs::symlink_status(e.path()).permissions();
    ++entries;
    EXPECT_NE(p & fs::perms::others_read, fs::perms::none) << e.path();
    if (e.is_directory()) {
      EXPECT_NE(p & fs::perms::others_exec, fs::perms::none) << e.path();
    }
  }
  EXPECT_GT(entries, 5u);
}

TEST_F(ToolTest, OperatorPrunesAndChecksTheStore) {
  Ran run;
  std::uint64_t firstNotice = 0;
  for (const char* content : {"first", "second"}) {
    run = Tool("publish " + Quote(store_) + " major " + Quote(Folder(content, {{"data/a.dat", content}})));
    ASSERT_EQ(run.status, 0) << run.out;
    WriteFile(dir_ / "notice.html", content);
    ASSERT_EQ(Tool("notice " + Quote(store_) + " " + Quote(dir_ / "notice.html")).status, 0);
    if (firstNotice == 0) firstNotice = fs::file_size(dir_ / "notice.html");
  }
  run = Tool("check " + Quote(store_));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "all 3 stored file(s) match")) << run.out;  // two streams and the notice

  const std::uint64_t bytes = fs::file_size(store_ + "/major/1/files/data/a.dat.gz") + firstNotice;
  run = Tool("prune " + Quote(store_) + " --dry-run");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "would remove major/1/files/data/a.dat.gz")) << run.out;
  EXPECT_TRUE(fs::exists(store_ + "/major/1/files/data/a.dat.gz"));
  run = Tool("prune " + Quote(store_));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "removed major/1/files/data/a.dat.gz\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "freed 2 file(s), " + std::to_string(bytes) + " bytes")) << run.out;
  EXPECT_TRUE(Has(Tool("check " + Quote(store_)).out, "all 2 stored file(s) match"));

  const std::string stored = store_ + "/major/2/files/data/a.dat.gz";
  std::string data = ReadFile(stored);
  data[data.size() / 2] = static_cast<char>(data[data.size() / 2] ^ 1);
  WriteFile(stored, data);
  run = Tool("check " + Quote(store_));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_TRUE(Has(run.out, "damaged: major/2/files/data/a.dat.gz: CRC-32 ")) << run.out;
  EXPECT_TRUE(Has(run.out, "1 of 2 stored file(s) damaged")) << run.out;
}

TEST_F(ToolTest, SecondServerOnATakenPortFailsClearly) {
  Folder("one", {{"a", "a"}});
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(dir_ / "one")).status, 0);
  ServerProcess first(store_, dir_ / "first.log");
  ASSERT_NE(first.port(), 0) << first.Log();
  const Ran second = Tool("serve " + Quote(store_) + " --listen 127.0.0.1:" + std::to_string(first.port()));
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(Has(second.out,
                  "cannot listen on 127.0.0.1:" + std::to_string(first.port()) + ": Address already in use"))
      << second.out;
}

/// A store whose CURRENT was lost is neither served as empty nor changed:
/// a publish would take every release for a leftover and remove it.
TEST_F(ToolTest, CommandsRefuseReleasesWithoutAStateFile) {
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("one", {{"a", "a"}}))).status, 0);
  fs::remove(store_ + "/CURRENT");
  const std::string notice = Folder("page", {{"notice.html", "<p>x</p>"}}) + "/notice.html";
  for (const std::string& command :
       {"serve " + Quote(store_) + " --listen 127.0.0.1:0",
        "publish " + Quote(store_) + " minor " + Quote(Folder("two", {{"b", "b"}})),
        "notice " + Quote(store_) + " " + Quote(notice), "notice " + Quote(store_) + " --clear"}) {
    const Ran run = Shell("timeout 10 " + std::string(UPDATE_SERVER) + " " + command);
    EXPECT_EQ(run.status, 1) << command << "\n" << run.out;
    EXPECT_TRUE(Has(run.out, "/CURRENT is missing although the store holds releases (major/1)"))
        << command << "\n"
        << run.out;
    EXPECT_TRUE(fs::exists(store_ + "/major/1")) << command;
    EXPECT_FALSE(fs::exists(store_ + "/CURRENT")) << command;
  }
}

/// Releases of FILES files each, published one after the other while the
/// server runs; a session held open on each keeps its snapshot (and the
/// stored files that snapshot has open) alive.
TEST_F(ToolTest, TightDescriptorLimitNeverCutsASession) {
  constexpr int kReleases = 3, kFiles = 40, kClients = 40;
  auto publish = [&](int release) {
    Files files;
    for (int i = 0; i < kFiles; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "r%d/f%d", release, i);
      files[name] = std::string(100 + i, static_cast<char>('a' + release));
    }
    if (release == kReleases) {
      // Too large to assemble: each answer then goes piece by piece and
      // needs a descriptor of its own for the files not cached.
      std::mt19937 random(7);
      std::string& big = files["big.bin"];
      big.resize(5u << 20);
      for (char& c : big) c = static_cast<char>(random());
    }
    const std::string folder = Folder("release" + std::to_string(release), files);
    ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(folder)).status, 0);
  };
  publish(1);
  ServerProcess server(store_, dir_ / "server.log", "--max-per-address 0", "ulimit -n 150; ");
  ASSERT_NE(server.port(), 0) << server.Log();
  const auto port = static_cast<std::uint16_t>(server.port());
  std::vector<std::unique_ptr<server_test::TestClient>> holders;
  for (int release = 1; release <= kReleases; ++release) {
    if (release > 1) {
      publish(release);
      ASSERT_TRUE(WaitUntil([&] { return Has(server.Log(), "now major " + std::to_string(release)); }));
    }
    holders.push_back(std::make_unique<server_test::TestClient>(port));
    ASSERT_TRUE(holders.back()->ReadReply());
    ASSERT_TRUE(server_test::TestClient(port).Update(0, 0).complete) << server.Log();
  }
  std::vector<std::thread> clients;
  std::atomic<int> complete{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      const auto answer = server_test::TestClient(port).Update(0, 0);
      if (answer.complete && answer.files.size() == kReleases * kFiles + 1) ++complete;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(complete, kClients);
  holders.clear();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(Has(server.Log(), "store error")) << server.Log();
}

TEST_F(ToolTest, AcceptFailureIsLoggedOncePerChange) {
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("one", {{"a", "a"}}))).status, 0);
  ServerProcess server(store_, dir_ / "server.log");
  ASSERT_NE(server.port(), 0) << server.Log();
  rlimit normal{};
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &normal), 0);
  const rlimit none{0, normal.rlim_max};
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &none, nullptr), 0);
  server_test::TestClient waiting(static_cast<std::uint16_t>(server.port()));
  ASSERT_TRUE(WaitUntil([&] { return Has(server.Log(), "cannot accept"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // several retries
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &normal, nullptr), 0);
  EXPECT_TRUE(waiting.ReadReply());
  const std::string log = server.Log();
  EXPECT_EQ(log.find("cannot accept"), log.rfind("cannot accept")) << log;
  EXPECT_TRUE(Has(log, "accepting sessions again")) << log;
}

/// One copy of the store to a back server's store after two publishes within
/// one second whose CURRENT files have the same size: SRC, DEST, SYNC and
/// RSYNC name the two stores, the copy script and rsync in the commands.
struct CopyCase {
  const char* label;
  const char* copy;
  std::uint32_t served;  // the major version the back serves afterwards
  const char* logged;    // in the back's log afterwards
};

class CopyToABack : public ToolTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyToABack, ServesTheNewStateOnlyOnceAllOfItArrived) {
  const std::string back = dir_ / "back";
  const std::string names =
      "SRC=" + Quote(store_) + " DEST=" + Quote(back) + " SYNC=" + STORE_SYNC + " RSYNC=" + RSYNC + "; ";
  fs::create_directories(back);
  ServerProcess server(back, dir_ / "back.log");
  ASSERT_NE(server.port(), 0) << server.Log();
  const auto port = static_cast<std::uint16_t>(server.port());
  auto serves = [&](std::uint32_t major) {
    const auto reply = server_test::TestClient(port).ReadReply();
    return reply && reply->major == major;
  };

  // Both publishes and the first copy between them early in one second.
  const auto now = std::chrono::system_clock::now();
  std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) + std::chrono::milliseconds(20));
  auto publish = [&](const char* content) {
    const Ran run =
        Tool("publish " + Quote(store_) + " major " + Quote(Folder(content, {{"a.dat", content}})));
    return run.status == 0 ? "" : run.out;
  };
  ASSERT_EQ(publish("first"), "");
  ASSERT_EQ(Shell(names + "$SYNC $SRC $DEST").status, 0);
  ASSERT_EQ(publish("later"), "");
  ASSERT_TRUE(WaitUntil([&] { return serves(1); })) << server.Log();

  const Ran copy = Shell(names + GetParam().copy);
  ASSERT_EQ(copy.status, 0) << copy.out;
  if (GetParam().served == 1) {
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the back looks at its store every second
  } else {
    EXPECT_TRUE(WaitUntil([&] { return serves(GetParam().served); })) << server.Log();
  }
  const auto answer = server_test::TestClient(port).Update(0, 0);
  ASSERT_TRUE(answer.complete) << server.Log();
  ASSERT_EQ(answer.files.size(), 1u);
  EXPECT_EQ(answer.files[0].version, GetParam().served);
  const std::string folder = store_ + "/major/" + std::to_string(GetParam().served);
  EXPECT_EQ(answer.files[0].body, ReadFile(folder + "/files/a.dat.gz"));
  EXPECT_EQ(server.Stop(), 0);
  const std::string log = server.Log();
  EXPECT_TRUE(Has(log, GetParam().logged)) << log;
  EXPECT_EQ(Has(log, "now major 2"), GetParam().served == 2) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Copies, CopyToABack,
    ::testing::Values(CopyCase{"Script", "$SYNC $SRC $DEST", 2, "now major 2"},
                      // Compared by size and whole-second time, as rsync does by default.
                      CopyCase{"PlainRsyncCurrentLast",
                               "$RSYNC -a --exclude=/CURRENT $SRC/ $DEST/ && $RSYNC -a $SRC/CURRENT $DEST/",
                               2, "now major 2"},
                      // CURRENT's time does not tell the states apart (a restored store).
                      CopyCase{"ScriptWithCurrentOfTheSameTime",
                               "touch -r $DEST/CURRENT $SRC/CURRENT && $SYNC $SRC $DEST", 2, "now major 2"},
                      // A copy half done: the new release is there, CURRENT is not yet.
                      CopyCase{"FilesBeforeCurrent", "$RSYNC -a --exclude=/CURRENT $SRC/ $DEST/", 1,
                               "now major 1"},
                      // One pass, which sends CURRENT first, cut off before the new
                      // release's stored files: CURRENT names files the back lacks.
                      CopyCase{"CurrentBeforeFiles", "$RSYNC -a --exclude=/major/2/files/ $SRC/ $DEST/", 1,
                               "cannot be loaded (still serving major 1, minor 0)"}),
    [](const auto& info) { return std::string(info.param.label); });

/// Sessions downloading at once from a server held to a byte rate, and how
/// long all of them take.
struct RateCase {
  const char* label;
  const char* options;  // a timeout shorter than every download and some waits for a turn
  int sessions;
  double bytesPerSecond;  // what all the sessions together get
};

class Rate : public ToolTest, public ::testing::WithParamInterface<RateCase> {
 protected:
  /// Eight files of 50,000 random bytes (stored as large as they are).
  void PublishNoise() {
    Files files;
    std::mt19937 random(19);
    for (int i = 0; i < 8; ++i) {
      std::string& body = files["noise/" + std::to_string(i) + ".bin"];
      body.resize(50000);
      for (char& c : body) c = static_cast<char>(random());
    }
    ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("noise", files))).status, 0);
  }
};

/// The bytes of an answer on the wire, the version reply included.
double WireBytes(const server_test::Answer& answer) {
  double bytes = session::kVersionReplySize + session::kFileListHeaderSize;
  for (const auto& f : answer.files) bytes += session::kFileHeaderMinSize + f.name.size() + 1 + f.body.size();
  return bytes;
}

TEST_P(Rate, DownloadsTakeTheirBytesOverTheRateAndShareItEvenly) {
  const RateCase& c = GetParam();
  PublishNoise();
  ServerProcess server(store_, dir_ / "server.log", c.options);
  ASSERT_NE(server.port(), 0) << server.Log();
  const auto port = static_cast<std::uint16_t>(server.port());
  using Seconds = std::chrono::duration<double>;
  std::vector<double> took(c.sessions), bytes(c.sessions);
  std::vector<int> complete(c.sessions);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> sessions;
  for (int i = 0; i < c.sessions; ++i) {
    sessions.emplace_back([&, i] {
      const auto answer = server_test::TestClient(port).Update(0, 0);
      took[i] = Seconds(std::chrono::steady_clock::now() - start).count();
      complete[i] = answer.complete && answer.files.size() == 8;
      bytes[i] = WireBytes(answer);
    });
  }
  for (std::thread& t : sessions) t.join();
  const double all = *std::max_element(took.begin(), took.end());
  double sum = 0;
  for (const double b : bytes) sum += b;
  const double expected = sum / c.bytesPerSecond;
  EXPECT_NEAR(all, expected, expected * 0.05) << sum << " bytes";
  for (int i = 0; i < c.sessions; ++i) {
    EXPECT_TRUE(complete[i]) << "session " << i << "\n" << server.Log();
    // Turns in order: no session is done long before the others.
    EXPECT_GT(took[i], all * 0.9) << "session " << i;
  }
  EXPECT_EQ(server.Stop(), 0);
  const std::string log = server.Log();
  EXPECT_FALSE(Has(log, "dropped")) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Held, Rate,
    ::testing::Values(RateCase{"PerSession", "--rate 100000 --timeout 1", 1, 100000},
                      RateCase{"WholeServer", "--max-rate 400000 --timeout 0.2", 4, 400000},
                      RateCase{"PerSessionUnderTheServerRate", "--rate 100000 --max-rate 1000000 --timeout 1",
                               2, 200000}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ToolTest, RateLimitedUpdaterThatStopsReadingIsDroppedAsStalled) {
  Files files;
  std::mt19937 random(5);
  std::string& body = files["big.bin"];
  body.resize(4u << 20);
  for (char& c : body) c = static_cast<char>(random());
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("big", files))).status, 0);
  ServerProcess server(store_, dir_ / "server.log", "--rate 2000000 --timeout 1");
  ASSERT_NE(server.port(), 0) << server.Log();
  server_test::TestClient reader(static_cast<std::uint16_t>(server.port()), 4096);
  ASSERT_TRUE(reader.ReadReply());
  ASSERT_TRUE(reader.SendRequest(session::RequestFilesOnly, 0, 0));
  EXPECT_TRUE(WaitUntil([&] { return Has(server.Log(), "dropped: no progress"); })) << server.Log();
}

#ifdef UPDATER_CONSOLE
/// One update of GAME by the real updater code without a window: the
/// session, then the installation the OK button runs.
Ran UpdateGame(const std::string& game) {
  return Shell("cd " + Quote(game) + " && " + UPDATER_CONSOLE + " --install");
}

TEST_F(ToolTest, UpdaterConsoleUpdatesAGameFolderFromTheServer) {
  const Files release = {{"Mirvale.exe", std::string(40000, 'M')},
                         {"data/maps/track01.map", "track one"},
                         {"readme.txt", "\xEC\x95\x88\xEB\x85\x95"}};
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("one", release))).status, 0);
  const std::string notice = "<html><body>\xEC\x98\xA4\xEB\x8A\x98 \xEC\xA0\x90\xEA\xB2\x80</body></html>";
  WriteFile(dir_ / "notice.html", notice);
  ASSERT_EQ(Tool("notice " + Quote(store_) + " " + Quote(dir_ / "notice.html")).status, 0);
  ServerProcess server(store_, dir_ / "server.log", "--timeout 2");
  ASSERT_NE(server.port(), 0) << server.Log();

  const std::string game = dir_ / "game";
  fs::create_directories(game);
  WriteFile(game + "/Config.ini",
            "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  Ran run = UpdateGame(game);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "file list: 3 major file(s), 0 minor file(s)")) << run.out;
  EXPECT_TRUE(Has(run.out, "installed: data\\maps\\track01.map")) << run.out;
  EXPECT_TRUE(Has(run.out, "versions recorded: 1 0")) << run.out;
  for (const auto& [name, content] : release) EXPECT_EQ(ReadFile(game + "/" + name), content) << name;
  EXPECT_EQ(ReadFile(game + "/Notice.html"), notice);
  struct stat st {};
  ASSERT_EQ(stat((game + "/Notice.html").c_str(), &st), 0);
  EXPECT_TRUE(Has(Tool("show " + Quote(store_)).out, "stamp " + std::to_string(st.st_mtime)));

  run = UpdateGame(game);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Has(run.out, "up to date")) << run.out;

  ASSERT_EQ(
      Tool("publish " + Quote(store_) + " minor " + Quote(Folder("two", {{"data/patch.dat", "patched"}})))
          .status,
      0);
  run = UpdateGame(game);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "request files only with 1 0")) << run.out;
  EXPECT_TRUE(Has(run.out, "file list: 0 major file(s), 1 minor file(s)")) << run.out;
  EXPECT_TRUE(Has(run.out, "versions recorded: 1 1")) << run.out;
  EXPECT_EQ(ReadFile(game + "/data/patch.dat"), "patched");

  EXPECT_EQ(server.Stop(), 0);
  const std::string log = server.Log();
  EXPECT_TRUE(Has(log, "127.0.0.1:")) << log;
  EXPECT_TRUE(Has(log, " installed 0 0, 3/3 files, ")) << log;
  EXPECT_TRUE(Has(log, " installed 1 0, 1/1 files, ")) << log;
  EXPECT_TRUE(Has(log, "s: completed\n")) << log;
  EXPECT_TRUE(Has(log, "no request, 17 bytes")) << log;
  EXPECT_TRUE(Has(log, "stopped: 3 session(s) served")) << log;
}

TEST_F(ToolTest, LongestNamePublishTakesInstallsAndOneByteMoreIsRefused) {
  // 100 + 1 + 152 bytes, and a last part of 252 bytes: the updater's limits.
  const std::string folder(100, 'd'), file(152, 'f'), alone = std::string(248, 'a') + ".dat";
  Ran run = Tool("publish " + Quote(store_) + " major " +
                 Quote(Folder("over", {{folder + "/" + file + "f", "x"}})));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_TRUE(Has(
      run.out, "  " + folder + "\\" + file + "f: name longer than 253 bytes (the updater cannot install it)"))
      << run.out;

  const Files release = {{folder + "/" + file, "longest"}, {alone, "alone"}};
  run = Tool("publish " + Quote(store_) + " major " + Quote(Folder("longest", release)));
  ASSERT_EQ(run.status, 0) << run.out;
  ServerProcess server(store_, dir_ / "server.log", "--timeout 2");
  ASSERT_NE(server.port(), 0) << server.Log();
  const std::string game = dir_ / "game";
  fs::create_directories(game);
  WriteFile(game + "/Config.ini",
            "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(server.port()) + "\n");
  run = UpdateGame(game);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "versions recorded: 1 0")) << run.out;
  for (const auto& [name, content] : release) EXPECT_EQ(ReadFile(game + "/" + name), content) << name;
}
#endif

TEST_F(ToolTest, SystemFileMountedIntoTheFolderIsNeverRead) {
  if (Shell("unshare -m true").status != 0) {
    GTEST_SKIP() << "private mount namespaces are not permitted here (unshare -m failed)";
  }
  const std::string dir = Folder("build", {{"game.dat", "game"}, {"env.txt", ""}});
  const std::string script = "mount --bind /proc/self/environ " + Quote(dir + "/env.txt") + " && " +
                             UPDATE_SERVER + " publish " + Quote(store_) + " major " + Quote(dir);
  const Ran run = Shell("unshare -m sh -c " + Quote(script));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_TRUE(Has(run.out, "  env.txt: file of the system's proc file system, made up when read")) << run.out;
  EXPECT_FALSE(fs::exists(store_ + "/major"));
}

TEST_F(ToolTest, EngineReadsAStreamOfSeveralMembers) {
  std::string data;
  for (int i = 0; i < 10000; ++i) data += static_cast<char>('a' + (i * i) % 26);
  server::PublishOptions options;
  options.pieceBytes = 4096;
  const auto result = server::Publish(store_, 0, Folder("one", {{"big.dat", data}}), options);
  fs::copy_file(store_ + "/" + result.release->files[0].path, dir_ / "big.dat.gz");
  ASSERT_EQ(Shell(std::string(DECOMPRESS) + " " + Quote(dir_ / "big.dat.gz")).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "big.dat"), data);
}

/// Data that libdeflate cannot shrink, so sizes on disk are predictable.
std::string Noise(std::size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(bytes, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

TEST_F(ToolTest, PublisherKilledAtRandomMomentsLeavesAServableStore) {
  ASSERT_EQ(Tool("publish " + Quote(store_) + " major " + Quote(Folder("one", {{"a.dat", "first"}}))).status,
            0);
  Files next;
  for (int i = 0; i < 6; ++i) next["data/part" + std::to_string(i) + ".bin"] = Noise(200000, i);
  const std::string dir = Folder("next", next);

  auto startPublish = [&](const std::string& store) {
    const pid_t child = fork();
    if (child == 0) {
      freopen("/dev/null", "w", stdout);
      execl(UPDATE_SERVER, UPDATE_SERVER, "publish", store.c_str(), "major", dir.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    return child;
  };
  // Kill moments spread over the whole length of one publish.
  auto start = std::chrono::steady_clock::now();
  waitpid(startPublish(dir_ / "timing"), nullptr, 0);
  const auto length =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();

  std::mt19937 rng(7);
  std::uint32_t expected = 1;
  for (int round = 0; round < 8; ++round) {
    start = std::chrono::steady_clock::now();
    const pid_t child = startPublish(store_);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (length + 1)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++expected;  // finished before the kill
    SCOPED_TRACE("round " + std::to_string(round) + " after " +
                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count()) +
                 " ms");
    const Ran show = Tool("show " + Quote(store_));
    ASSERT_EQ(show.status, 0) << show.out;
    // Killed after the rename of CURRENT but before its exit: the new state.
    if (Has(show.out, "major " + std::to_string(expected + 1) + ",")) ++expected;
    EXPECT_TRUE(Has(show.out, "major " + std::to_string(expected) + ", minor 0")) << show.out;
  }
  const Ran last = Tool("publish " + Quote(store_) + " major " + Quote(dir));
  ASSERT_EQ(last.status, 0) << last.out;
  EXPECT_TRUE(Has(last.out, "version " + std::to_string(expected + 1) + ":")) << last.out;
  EXPECT_FALSE(fs::exists(store_ + "/tmp"));
}

TEST_F(ToolTest, FullDiskLeavesThePreviousState) {
  if (Shell("unshare -m true").status != 0) {
    GTEST_SKIP() << "private mount namespaces are not permitted here (unshare -m failed)";
  }
  Folder("small", {{"a.dat", Noise(20000, 1)}, {"b/c.dat", Noise(20000, 2)}});
  Files big;
  for (int i = 0; i < 4; ++i) big["big" + std::to_string(i) + ".bin"] = Noise(100000, 10 + i);
  Folder("big", big);
  Folder("later", {{"d.dat", "d"}});
  const std::string tool = UPDATE_SERVER;
  // A tmpfs of a few hundred KiB: the first publish fits, the big one runs out
  // of room at a point that moves with the size.
  for (int kib : {200, 260, 330, 400}) {
    SCOPED_TRACE(std::to_string(kib) + " KiB");
    const std::string mnt = dir_ / ("mnt" + std::to_string(kib));
    fs::create_directories(mnt);
    const std::string script =
        "set -e; mount -t tmpfs -o size=" + std::to_string(kib) + "k tmpfs " + Quote(mnt) + "; " +
        "S=" + Quote(mnt + "/store") + "; " + tool + " publish $S major " + Quote(dir_ / "small") +
        " >/dev/null; " + tool + " show $S > " + Quote(dir_ / "before.txt") + "; " + "if " + tool +
        " publish $S major " + Quote(dir_ / "big") + "; then echo BIG-PUBLISHED; fi; " + tool +
        " show $S > " + Quote(dir_ / "after.txt") + "; " + "ls -A $S > " + Quote(dir_ / "entries.txt") +
        "; " + tool + " publish $S minor " + Quote(dir_ / "later") + "; " + "umount " + Quote(mnt);
    const Ran run = Shell("unshare -m sh -c " + Quote(script));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(Has(run.out, "BIG-PUBLISHED")) << run.out;
    EXPECT_TRUE(Has(run.out, "No space left on device; nothing was published")) << run.out;
    EXPECT_EQ(ReadFile(dir_ / "after.txt"), ReadFile(dir_ / "before.txt"));
    EXPECT_EQ(ReadFile(dir_ / "entries.txt"), "CURRENT\nlock\nmajor\n");
    EXPECT_TRUE(Has(run.out, "published minor version 1")) << run.out;
  }
}

}  // namespace
