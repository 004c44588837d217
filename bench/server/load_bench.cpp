// Load benchmark of the update server: one client process opens N sessions
// over loopback and completes each as an updater would (reads the version
// reply, sends its request, reads the notice and every file, closes). In the
// same run the same client runs against a plain server that writes the same
// bytes to each connection with sendfile and nothing else. Both servers are
// child processes, one epoll thread each.
//
// All N sessions are held open at once: requests go out only when every
// session has its version reply, which is also when the memory of N idle
// sessions is read from the server's /proc entry.
//
// With "scrape", each round also runs the update server with --metrics while
// this process scrapes /metrics once a second during the run, and the
// throughput with scraping is set against the same server's without.
//
//   bench_server_load [sessions=1000,10000] [rounds=3] [kib-per-session=96] [scrape]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/publish.h"
#include "server/release_store.h"
#include "server/session_plan.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

pid_t runningServer = -1;  // stopped on the way out, whatever happens

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_server_load: %s\n", what.c_str());
  if (runningServer > 0) {
    kill(runningServer, SIGKILL);
    waitpid(runningServer, nullptr, 0);
  }
  std::exit(1);
}

std::string Noise(std::size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(bytes, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

void WriteFile(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

/// User plus system CPU seconds a process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // fields 3..13
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long StatusKiB(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// ---- the plain peer: the same bytes with sendfile, nothing else -------------

volatile sig_atomic_t plainStop = 0;

/// Serves STREAM: its first 17 bytes at once, the rest after 9 bytes arrive.
[[noreturn]] void PlainServer(const std::string& stream, int portPipe) {
  signal(SIGTERM, [](int) { plainStop = 1; });
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();
  const int file = open(stream.c_str(), O_RDONLY);
  struct stat st {};
  fstat(file, &st);
  const off_t size = st.st_size;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 65535) != 0) {
    _exit(1);
  }
  socklen_t length = sizeof at;
  getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
  const std::uint16_t port = ntohs(at.sin_port);
  if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
  close(portPipe);

  struct Conn {
    int fd;
    int got;
    off_t offset;
    bool writing;
  };
  const int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::vector<epoll_event> events(256);
  auto pump = [&](Conn* c) {
    while (c->offset < size) {
      const ssize_t n = sendfile(c->fd, file, &c->offset, static_cast<std::size_t>(size - c->offset));
      if (n <= 0) break;
    }
    const bool want = c->offset < size;
    if (want != c->writing) {
      epoll_event e{};
      e.events = EPOLLIN | (want ? std::uint32_t{EPOLLOUT} : 0u);
      e.data.ptr = c;
      epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &e);
      c->writing = want;
    }
  };
  while (!plainStop) {
    const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 200);
    for (int i = 0; i < n; ++i) {
      auto* c = static_cast<Conn*>(events[i].data.ptr);
      if (c == nullptr) {
        for (;;) {
          const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
          if (fd < 0) break;
          setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
          auto* conn = new Conn{fd, 0, 0, false};
          off_t reply = 0;
          sendfile(fd, file, &reply, 17);
          conn->offset = reply;
          epoll_event e{};
          e.events = EPOLLIN;
          e.data.ptr = conn;
          epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
        }
        continue;
      }
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        char buffer[64];
        const ssize_t got = recv(c->fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
          if (got < 0 && errno == EAGAIN) continue;
          close(c->fd);
          delete c;
          continue;
        }
        c->got += static_cast<int>(got);
        if (c->got >= 9) pump(c);
        continue;
      }
      if (events[i].events & EPOLLOUT) pump(c);
    }
  }
  _exit(0);
}

// ---- the client -------------------------------------------------------------

struct Outcome {
  double seconds = 0;  // first connect to last close
  long idleKiB = 0;    // server resident memory growth with N idle sessions
  long peakKiB = 0;
  double serverCpu = 0;  // seconds of CPU the server used for the run
  std::uint64_t bytes = 0;
};

/// Runs N sessions against 127.0.0.1:PORT from SOURCE (127.0.0.x), expecting STREAM.
Outcome RunClients(std::uint16_t port, std::uint32_t source, int sessions, const std::string& stream,
                   pid_t server) {
  struct Conn {
    int fd = -1;
    int state = 0;  // 0 waiting for the reply, 1 idle, 2 reading the answer, 3 done
    std::uint64_t got = 0;
  };
  constexpr int kConnecting = 200;  // connects in flight: no SYN is ever dropped
  const std::uint64_t total = stream.size();
  std::vector<Conn> conns(static_cast<std::size_t>(sessions));
  std::string first;  // every byte of session 0, to check
  const int ep = epoll_create1(0);
  std::vector<char> scratch(1 << 18);
  std::vector<epoll_event> events(1024);
  int opened = 0, replied = 0, done = 0;
  Outcome out;
  const long baseKiB = StatusKiB(server, "VmRSS:");
  const double baseCpu = CpuSeconds(server);
  auto open_one = [&] {
    Conn& c = conns[static_cast<std::size_t>(opened)];
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = source;
    if (bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) Die("bind");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
      Die(std::string("connect: ") + std::strerror(errno));
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = static_cast<std::uint64_t>(opened);
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
    ++opened;
  };
  const auto start = Clock::now();
  while (opened < std::min(sessions, kConnecting)) open_one();
  while (done < sessions) {
    if (Clock::now() - start > std::chrono::seconds(180)) Die("sessions did not finish in 180 s");
    const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 1000);
    for (int i = 0; i < n; ++i) {
      const std::size_t index = static_cast<std::size_t>(events[i].data.u64);
      Conn& c = conns[index];
      for (;;) {
        const std::size_t want = c.state == 0 ? 17 - c.got : scratch.size();
        const ssize_t got = recv(c.fd, scratch.data(), want, 0);
        if (got < 0 && errno == EAGAIN) break;
        if (got <= 0) {
          Die("session " + std::to_string(index) + " of " + std::to_string(sessions) + " (state " +
              std::to_string(c.state) + ", " + std::to_string(c.got) + " bytes) to port " +
              std::to_string(port) + " ended early: " + (got < 0 ? std::strerror(errno) : "closed"));
        }
        if (index == 0) first.append(scratch.data(), static_cast<std::size_t>(got));
        c.got += static_cast<std::uint64_t>(got);
        if (c.state == 0 && c.got == 17) {
          c.state = 1;
          ++replied;
          if (opened < sessions) open_one();
          if (replied == sessions) {
            // Every session is open and idle at the server.
            out.idleKiB = StatusKiB(server, "VmRSS:") - baseKiB;
            const std::uint8_t request[9] = {0x41, 0, 0, 0, 0, 0, 0, 0, 0};
            for (Conn& k : conns) {
              if (send(k.fd, request, sizeof request, MSG_NOSIGNAL) != 9) Die("request not sent");
              k.state = 2;
            }
          }
          break;
        }
        if (c.state == 2 && c.got == total) {
          close(c.fd);
          c.state = 3;
          ++done;
          break;
        }
        if (c.got > total) Die("more bytes than expected");
      }
    }
  }
  const auto end = Clock::now();
  out.seconds = std::chrono::duration<double>(end - start).count();
  out.peakKiB = StatusKiB(server, "VmHWM:");
  out.serverCpu = CpuSeconds(server) - baseCpu;
  out.bytes = total * static_cast<std::uint64_t>(sessions);
  close(ep);
  if (first != stream) Die("session 0 received other bytes than expected");
  return out;
}

struct Server {
  pid_t pid = -1;
  std::uint16_t port = 0;
  std::uint16_t metricsPort = 0;
};

/// One GET of 127.0.0.1:PORT/metrics; true when answered with 200.
bool ScrapeOnce(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char request[] = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1)) {
    char buffer[8192];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  }
  close(fd);
  return answer.rfind("HTTP/1.1 200", 0) == 0;
}

/// Scrapes 127.0.0.1:PORT/metrics at once and then once a second until
/// stopped; counts the scrapes answered with 200.
class Scraper {
 public:
  explicit Scraper(std::uint16_t port) : thread_([this, port] { Run(port); }) {}
  ~Scraper() {
    stop_ = true;
    thread_.join();
  }
  int answered() const { return answered_; }

 private:
  void Run(std::uint16_t port) {
    while (!stop_) {
      if (ScrapeOnce(port)) ++answered_;
      for (int i = 0; i < 100 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

Server StartPlain(const std::string& stream) {
  int fds[2];
  if (pipe(fds) != 0) Die("pipe");
  Server s;
  s.pid = fork();
  if (s.pid == 0) {
    close(fds[0]);
    PlainServer(stream, fds[1]);
  }
  close(fds[1]);
  if (read(fds[0], &s.port, sizeof s.port) != sizeof s.port) Die("plain server did not start");
  close(fds[0]);
  return s;
}

Server StartUpdateServer(const std::string& store, const fs::path& log, bool metrics) {
  fs::remove(log);  // the port is read from the new log, never from an old one
  Server s;
  s.pid = fork();
  if (s.pid == 0) {
    if (!freopen(log.c_str(), "w", stdout)) _exit(127);
    // Every session comes from one address: no cap per address.
    if (metrics) {
      execl(UPDATE_SERVER_TOOL, UPDATE_SERVER_TOOL, "serve", store.c_str(), "--listen", "127.0.0.1:0",
            "--timeout", "120", "--max-per-address", "0", "--metrics", "127.0.0.1:0",
            static_cast<char*>(nullptr));
    } else {
      execl(UPDATE_SERVER_TOOL, UPDATE_SERVER_TOOL, "serve", store.c_str(), "--listen", "127.0.0.1:0",
            "--timeout", "120", "--max-per-address", "0", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  const std::regex serving("on 127\\.0\\.0\\.1:([0-9]+):");
  for (int i = 0; i < 500 && s.port == 0; ++i) {
    std::smatch m;
    const std::string text = ReadFile(log);
    if (std::regex_search(text, m, serving)) s.port = static_cast<std::uint16_t>(std::stoi(m[1]));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (s.port == 0) Die("update-server did not start: " + ReadFile(log));
  if (metrics) {
    std::smatch m;
    const std::string text = ReadFile(log);
    const std::regex line("metrics on http://127\\.0\\.0\\.1:([0-9]+)/");
    if (!std::regex_search(text, m, line)) Die("update-server did not say its metrics port: " + text);
    s.metricsPort = static_cast<std::uint16_t>(std::stoi(m[1]));
  }
  return s;
}

void StopServer(const Server& s) {
  kill(s.pid, SIGTERM);
  waitpid(s.pid, nullptr, 0);
  runningServer = -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {1000, 10000};
  if (argc > 1) {
    counts.clear();
    std::stringstream list(argv[1]);
    for (std::string item; std::getline(list, item, ',');) counts.push_back(std::atoi(item.c_str()));
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::size_t kib = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 96;
  const bool scrape = argc > 4 && std::string(argv[4]) == "scrape";
  const int kinds = scrape ? 3 : 2;  // plain, update-server, update-server scraped
  const char* names[] = {"plain sendfile", "update-server", "update-server, scraped"};
  RaiseDescriptorLimit();
  signal(SIGPIPE, SIG_IGN);

  char pattern[] = "/tmp/bench-server-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
  const fs::path dir = pattern;
  // The release: three files of incompressible data (so that stored and sent
  // sizes are what is asked for) and a Korean notice page.
  WriteFile(dir / "release/Mirvale.exe", Noise(kib * 1024 / 2, 1));
  WriteFile(dir / "release/data/maps/track01.map", Noise(kib * 1024 / 3, 2));
  WriteFile(dir / "release/data/cars.dat", Noise(kib * 1024 / 6, 3));
  std::string notice = "<html><body><h1>\xEC\xA0\x90\xEA\xB2\x80 \xEC\x95\x88\xEB\x82\xB4</h1>";
  while (notice.size() < 2000)
    notice += "<p>\xEC\x98\xA4\xEB\x8A\x98 \xEC\x83\x88 \xED\x8A\xB8\xEB\x9E\x99</p>";
  notice += "</body></html>";
  WriteFile(dir / "notice.html", notice);
  const std::string store = (dir / "store").string();
  server::Publish(store, 0, (dir / "release").string());
  server::SetNotice(store, (dir / "notice.html").string(), std::time(nullptr));

  // The bytes every session gets: the reply, then the plan's segments.
  const auto snapshot = server::LoadSnapshot(store);
  const auto reply = session::EncodeVersionReply(server::MakeVersionReply(*snapshot, 0));
  std::string stream(reply.begin(), reply.end());
  const auto plan = server::PlanSession(snapshot, {session::RequestNoticeAndFiles, 0, 0});
  for (std::size_t i = 0; i < plan.SegmentCount(); ++i) {
    const server::Segment& segment = plan.SegmentAt(i);
    stream.append(segment.bytes.begin(), segment.bytes.end());
    if (!segment.path.empty()) stream += ReadFile(fs::path(store) / segment.path);
  }
  WriteFile(dir / "stream.bin", stream);

  std::printf(
      "update server load: %zu bytes per session (notice %zu, %zu files), "
      "%d round(s), best and median\n\n",
      stream.size(), notice.size(), plan.FileCount(), rounds);
  std::printf(
      "| sessions | server | best s | median s | sessions/s | MB/s | server CPU per session | peak RSS | "
      "idle memory per session |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  std::uint32_t source = 10;  // 127.0.0.10 upwards: a fresh port range per run
  std::vector<std::string> ratios;
  for (int sessions : counts) {
    std::vector<double> times[3], cpu[3];
    Outcome best[3];
    int scrapes = 0;
    for (int round = 0; round < rounds; ++round) {
      for (int which = 0; which < kinds; ++which) {
        std::fflush(stdout);  // a forked child must not print it again
        const Server s = which == 0 ? StartPlain((dir / "stream.bin").string())
                                    : StartUpdateServer(store, dir / "server.log", which == 2);
        runningServer = s.pid;
        const std::uint32_t from = htonl((127u << 24) | source++);
        std::unique_ptr<Scraper> scraper;
        if (which == 2) scraper = std::make_unique<Scraper>(s.metricsPort);
        const Outcome o = RunClients(s.port, from, sessions, stream, s.pid);
        if (scraper) scrapes += scraper->answered();
        scraper.reset();
        StopServer(s);
        times[which].push_back(o.seconds);
        cpu[which].push_back(o.serverCpu);
        if (best[which].seconds == 0 || o.seconds < best[which].seconds) best[which] = o;
      }
    }
    for (int which = 0; which < kinds; ++which) {
      const Outcome& o = best[which];
      std::printf("| %d | %s | %.3f | %.3f | %.0f | %.0f | %.0f us | %.1f MiB | %.2f KiB |\n", sessions,
                  names[which], o.seconds, Median(times[which]), sessions / o.seconds,
                  static_cast<double>(o.bytes) / 1e6 / o.seconds, Median(cpu[which]) * 1e6 / sessions,
                  o.peakKiB / 1024.0, static_cast<double>(o.idleKiB) / sessions);
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "%d sessions: update-server / plain throughput %.3f (best), %.3f (median)", sessions,
                  best[0].seconds / best[1].seconds, Median(times[0]) / Median(times[1]));
    ratios.push_back(line);
    if (scrape) {
      std::snprintf(line, sizeof line,
                    "%d sessions: update-server scraped / not scraped throughput %.3f (median), %d scrapes",
                    sessions, Median(times[1]) / Median(times[2]), scrapes);
      ratios.push_back(line);
    }
  }
  if (scrape) {
    // What one scrape costs the server, measured apart from the noise of a
    // load run: many scrapes in a row against its CPU time.
    constexpr int kScrapes = 2000;
    std::fflush(stdout);  // a forked child must not print it again
    const Server s = StartUpdateServer(store, dir / "server.log", true);
    runningServer = s.pid;
    const double before = CpuSeconds(s.pid);
    int answered = 0;
    for (int i = 0; i < kScrapes; ++i) answered += ScrapeOnce(s.metricsPort);
    const double perScrape = (CpuSeconds(s.pid) - before) / kScrapes;
    StopServer(s);
    char line[160];
    std::snprintf(line, sizeof line,
                  "one scrape: %.1f us of server CPU (%d of %d answered); once a second %.4f%% of one core",
                  perScrape * 1e6, answered, kScrapes, perScrape * 100);
    ratios.push_back(line);
  }
  std::printf("\n");
  for (const std::string& r : ratios) std::printf("%s\n", r.c_str());
  fs::remove_all(dir);
  return 0;
}
