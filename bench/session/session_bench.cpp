// Streams a large file list over loopback through UpdateSession (with the
// console host), once as an updater without a key and once hashing every
// stream as a keyed one does, and, in the same run, through a plain loop that
// receives into a 2,048-byte buffer and writes to a file. Prints the three
// throughputs and the ratios of the times: first with the server sending as
// fast as the loopback takes it, then, for each rate given, paced to a line
// of that many megabits per second (all three runs at the same pace).
//
//   session_bench [megabytes=200] [rounds=3] [folder=/tmp] [mbits,mbits...]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "console_host.h"
#include "session/update_session.h"
#include "session/update_socket.h"
#include "session/wire.h"
#include "trust/hash.h"
#include "stream_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the receiving (calling) thread: less disturbed than wall time
// on a busy machine; the servers run on their own threads.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 0, cpu = 0;
};
using bench::kStreamFiles;
using bench::Listen;
using bench::MakeStream;
using bench::SendAll;
using bench::SendStream;
using bench::Stream;
constexpr int kFiles = kStreamFiles;

// Server for the session: version reply, the request, then the stream; it
// keeps the connection until the client closes it.
Timing RunSession(const Stream& stream, double rate, wxEventLoopBase* loop, bool hash) {
  std::uint16_t port = 0;
  const int listenFd = Listen(port);
  std::thread server([&] { bench::ServeOneSession(listenFd, [&](int fd) { SendStream(fd, stream, rate); }); });

  session::SessionOutcome outcome;
  bool done = false, ok = false;
  console::ConsoleHost host(outcome, nullptr, [&](bool success) {
    done = true;
    ok = success;
  });
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  Timing timing;
  {
    session::CUpdateSocket socket;
    session::UpdateSession run(socket, host, outcome, {"127.0.0.1", ""}, port);
    run.HashStreams(hash);
    wxEventLoopActivator active(loop);
    run.ConnectToServers();
    while (!done) loop->DispatchTimeout(100);
    timing.wall = std::chrono::duration<double>(Clock::now() - start).count();
    timing.cpu = ThreadCpuSeconds() - cpuStart;
    if (!ok || outcome.receivedNames.size() != kFiles) {
      std::fprintf(stderr, "session did not complete\n");
      std::exit(1);
    }
  }
  server.join();
  ::close(listenFd);
  for (const auto& name : outcome.receivedNames) std::filesystem::remove(name + ".gz");
  return timing;
}

// The peer: the same stream into one file through a 2,048-byte buffer.
Timing RunPlain(const Stream& stream, double rate) {
  std::uint16_t port = 0;
  const int listenFd = Listen(port);
  std::thread server([&] {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    SendStream(fd, stream, rate);
    ::close(fd);
  });
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::FILE* out = std::fopen("plain.bin", "wb");
  std::uint8_t buffer[session::kReceiveBufferSize];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    std::fwrite(buffer, 1, static_cast<std::size_t>(n), out);
  std::fclose(out);
  const Timing timing{std::chrono::duration<double>(Clock::now() - start).count(),
                      ThreadCpuSeconds() - cpuStart};
  ::close(fd);
  server.join();
  ::close(listenFd);
  std::filesystem::remove("plain.bin");
  return timing;
}

// The hash alone over the same bytes, on this thread from memory: the least
// time a hashing session can take however its threads are arranged.
double HashAlone(const Stream& stream) {
  const auto start = Clock::now();
  trust::Hasher hasher;
  for (int f = 0; f < kFiles; ++f) {
    for (std::int64_t left = stream.bodySize; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, stream.pattern.size()));
      hasher.Update(stream.pattern.data(), n);
      left -= static_cast<std::int64_t>(n);
    }
    hasher.Final();
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Ratios {
  double session = 0, hashed = 0;
};

// ROUNDS rounds of the three runs at RATE bytes per second (0: unpaced).
Ratios Measure(const Stream& stream, double rate, int rounds, wxEventLoopBase* loop) {
  const double bytes = static_cast<double>(stream.bodySize) * kFiles;
  std::vector<double> sessionTimes, plainTimes, sessionCpu, plainCpu, hashedTimes, hashedCpu, hashAlone;
  for (int r = 0; r < rounds; ++r) {
    if (rate == 0) hashAlone.push_back(HashAlone(stream));
    const Timing p = RunPlain(stream, rate);
    const Timing s = RunSession(stream, rate, loop, false);
    const Timing h = RunSession(stream, rate, loop, true);
    plainTimes.push_back(p.wall);
    plainCpu.push_back(p.cpu);
    sessionTimes.push_back(s.wall);
    sessionCpu.push_back(s.cpu);
    hashedTimes.push_back(h.wall);
    hashedCpu.push_back(h.cpu);
    std::printf("round %d: plain %.3f s (cpu %.3f), session %.3f s (cpu %.3f), hashing %.3f s (cpu %.3f)\n",
                r + 1, p.wall, p.cpu, s.wall, s.cpu, h.wall, h.cpu);
  }
  const double plain = Median(plainTimes), sessionTime = Median(sessionTimes), hashed = Median(hashedTimes);
  const double plainBest = *std::min_element(plainTimes.begin(), plainTimes.end());
  const double sessionBest = *std::min_element(sessionTimes.begin(), sessionTimes.end());
  if (rate > 0) {
    std::printf("file list %.0f MB paced to %.0f Mbit/s, %d files, 2048-byte receive buffer, median of %d rounds\n",
                bytes / 1e6, rate * 8 / 1e6, kFiles, rounds);
  } else {
    std::printf("file list %.0f MB over loopback, %d files, 2048-byte receive buffer, median of %d rounds\n",
                bytes / 1e6, kFiles, rounds);
  }
  std::printf("plain loop      %8.1f MB/s  (%.3f s, receiving thread cpu %.3f s)\n", bytes / 1e6 / plain,
              plain, Median(plainCpu));
  std::printf("UpdateSession   %8.1f MB/s  (%.3f s, receiving thread cpu %.3f s)\n",
              bytes / 1e6 / sessionTime, sessionTime, Median(sessionCpu));
  std::printf("hashing session %8.1f MB/s  (%.3f s, receiving thread cpu %.3f s)\n", bytes / 1e6 / hashed,
              hashed, Median(hashedCpu));
  if (rate == 0) {
    std::printf("hash alone      %8.1f MB/s  (%.3f s from memory: %.3f x the plain loop's time)\n",
                bytes / 1e6 / Median(hashAlone), Median(hashAlone), Median(hashAlone) / plain);
  }
  std::printf(
      "ratio session/plain: time %.3f median, %.3f best of each; receiving cpu %.3f median "
      "(budget <= 1.15)\n",
      sessionTime / plain, sessionBest / plainBest, Median(sessionCpu) / Median(plainCpu));
  std::printf("ratio hashing/plain: time %.3f median; receiving cpu %.3f median (budget <= 1.05)\n",
              hashed / plain, Median(hashedCpu) / Median(plainCpu));
  std::printf("ratio hashing/session: time %.3f median; receiving cpu %.3f median\n\n", hashed / sessionTime,
              Median(hashedCpu) / Median(sessionCpu));
  return {sessionTime / plain, hashed / plain};
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::filesystem::path folder =
      std::filesystem::path(argc > 3 ? argv[3] : "/tmp") / ("session-bench-" + std::to_string(getpid()));
  std::vector<double> rates{0};
  if (argc > 4) {
    for (const char* p = argv[4]; *p;) {
      char* end = nullptr;
      const double mbits = std::strtod(p, &end);
      if (end == p || mbits <= 0) {
        std::fprintf(stderr, "rates are megabits per second, separated by commas\n");
        return 1;
      }
      rates.push_back(mbits * 1e6 / 8);
      p = *end == ',' ? end + 1 : end;
    }
  }
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);

  wxInitializer init;
  if (!init.IsOk()) return 1;
  std::unique_ptr<wxEventLoopBase> loop(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop());
  const Stream stream = MakeStream(megabytes * 1000 * 1000);
  bool withinBudgets = true;
  for (const double rate : rates) {
    const Ratios r = Measure(stream, rate, rounds, loop.get());
    withinBudgets = withinBudgets && r.session <= 1.15 && r.hashed <= 1.05;
  }
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder);
  return withinBudgets ? 0 : 2;
}
