// Many new files in one folder: a file list of SMALL new one-byte files
// downloaded through UpdateSession (with the console host) into an empty
// folder, and in the same run one of LARGE files. Each new name is matched
// against the folder's names in other letter case; when that costs the same
// for every name the time grows with the count, and LARGE / SMALL times
// come out near LARGE / SMALL counts. Prints both times and their ratio.
//
//   many_files_bench [small=5000] [large=20000] [rounds=1] [folder=/tmp]
//
// Exits with 2 when the time ratio exceeds 1.5 times the count ratio.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

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
#include "bench_jobs.h"
#include "stream_server.h"

namespace {

using Clock = std::chrono::steady_clock;

/// Version reply, the request, then COUNT headers of one-byte files named
/// "fileNNNNN.dat" (in a shuffled order, as a server's list may come).
std::vector<std::uint8_t> MakeList(int count) {
  session::FileListHeader h;
  h.counts = {static_cast<std::uint16_t>(count), 0};
  h.totalBytes = count;
  const auto list = session::EncodeFileListHeader(h);
  std::vector<std::uint8_t> bytes(list.begin(), list.end());
  std::vector<int> order(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = i;
  std::uint32_t x = 2463534242u;
  for (std::size_t i = order.size(); i > 1; --i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    std::swap(order[i - 1], order[x % i]);
  }
  char name[32];
  for (int i : order) {
    std::snprintf(name, sizeof name, "File%05d.dat", i);
    const auto header = session::EncodeFileHeader(1, 1, name);
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.push_back(static_cast<std::uint8_t>(i));
  }
  return bytes;
}

/// Seconds from the connection to the complete session, in an empty FOLDER.
double RunSession(int count, const std::filesystem::path& folder, wxEventLoopBase* loop) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  const std::vector<std::uint8_t> stream = MakeList(count);
  std::uint16_t port = 0;
  const int listenFd = bench::Listen(port);
  std::thread server([&] {
    bench::ServeOneSession(listenFd, [&](int fd) { bench::SendAll(fd, stream.data(), stream.size()); });
  });

  session::SessionOutcome outcome;
  bool done = false, ok = false;
  console::ConsoleHost host(outcome, nullptr, [&](bool success) {
    done = true;
    ok = success;
  });
  const auto start = Clock::now();
  double seconds = 0;
  {
    session::CUpdateSocket socket;
    session::UpdateSession run(socket, host, outcome, {"127.0.0.1", ""}, port);
    wxEventLoopActivator active(loop);
    run.ConnectToServers();
    while (!done) loop->DispatchTimeout(100);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok || outcome.receivedNames.size() != static_cast<std::size_t>(count)) {
      std::fprintf(stderr, "session did not complete\n");
      std::exit(1);
    }
  }
  server.join();
  ::close(listenFd);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int small = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int large = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
  const std::filesystem::path folder =
      std::filesystem::path(argc > 4 ? argv[4] : "/tmp") / ("many-files-bench-" + std::to_string(getpid()));
  if (small <= 0 || large <= small || large > 65535 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [small] [large<=65535] [rounds] [folder]\n", argv[0]);
    return 1;
  }

  wxInitializer init;
  if (!init.IsOk()) return 1;
  std::unique_ptr<wxEventLoopBase> loop(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop());
  std::vector<double> smallTimes, largeTimes;
  for (int r = 0; r < rounds; ++r) {
    smallTimes.push_back(RunSession(small, folder, loop.get()));
    largeTimes.push_back(RunSession(large, folder, loop.get()));
    std::printf("round %d: %d files %.3f s, %d files %.3f s\n", r + 1, small, smallTimes.back(), large,
                largeTimes.back());
  }
  const double smallTime = bench::median(smallTimes), largeTime = bench::median(largeTimes);
  const double countRatio = static_cast<double>(large) / small;
  const double timeRatio = largeTime / smallTime;
  std::printf("new one-byte files into one empty folder, median of %d rounds\n", rounds);
  std::printf("%6d files  %8.3f s  (%.1f us per file)\n", small, smallTime, smallTime / small * 1e6);
  std::printf("%6d files  %8.3f s  (%.1f us per file)\n", large, largeTime, largeTime / large * 1e6);
  std::printf("ratio %d/%d: time %.2f (count ratio %.2f; linear <= %.2f)\n", large, small, timeRatio,
              countRatio, countRatio * 1.5);
  return timeRatio <= countRatio * 1.5 ? 0 : 2;
}
