// The server selection with long lists: the time the window takes from
// loading Server.cnv to the list being ready (and the list reader alone on
// the plain list), for a list of SMALL entries and, in the same run, one of
// LARGE entries. When each entry costs the same the
// time grows with the count, and LARGE / SMALL times come out near LARGE /
// SMALL counts. Needs a display: run under xvfb-run -a.
//
//   server_list_bench [small=5000] [large=20000] [rounds=3]
//
// Exits with 2 when the time ratio exceeds 1.5 times the count ratio.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/listbox.h>

#include "files/scramble.h"
#include "bench_jobs.h"
#include "launch/server_list.h"
#include "ui/server_select_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;

/// Server.cnv in the current folder with COUNT entries in the order a list
/// editor writes them, and the same list plain as Server.lst.
void WriteServerList(int count) {
  std::string plain = "[Server]\r\nCount=" + std::to_string(count) + "\r\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    plain += "Name" + n + "=Server " + n + "\r\nIP" + n + "=10." + std::to_string(i / 65536) + "." +
             std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + "\r\n";
  }
  std::ofstream("Server.lst", std::ios::binary) << plain;
  files::ScrambleText(plain.data());
  std::ofstream("Server.cnv", std::ios::binary) << plain;
}

struct Timing {
  double window = 0;  // LoadServerList: from Server.cnv to the filled list
  double reader = 0;  // ReadServerList alone on the plain list
};

/// One LoadServerList of COUNT entries, and one ReadServerList.
Timing LoadOnce(int count) {
  WriteServerList(count);
  Timing timing;
  const auto readStart = Clock::now();
  const std::size_t read = launch::ReadServerList("Server.lst").size();
  timing.reader = std::chrono::duration<double>(Clock::now() - readStart).count();
  ui::CServerSelectDlg select(nullptr);
  const auto start = Clock::now();
  const bool loaded = select.LoadServerList();
  timing.window = std::chrono::duration<double>(Clock::now() - start).count();
  if (!loaded || select.serverList()->GetCount() != static_cast<unsigned>(count) ||
      read != static_cast<std::size_t>(count)) {
    std::fprintf(stderr, "the list was not loaded whole\n");
    std::exit(1);
  }
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  const int small = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int large = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  if (small <= 0 || large <= small || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [small] [large] [rounds]\n", argv[0]);
    return 1;
  }
  // A scratch game folder, and a private temporary folder for Server.lst.
  const std::filesystem::path folder = "/tmp/server-list-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(folder / "run");
  ::chmod((folder / "run").c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);
  std::filesystem::current_path(folder);

  wxApp::SetInstance(new wxApp);
  int wxArgc = 1;
  if (!wxEntryStart(wxArgc, argv)) {
    std::fprintf(stderr, "server_list_bench needs a display: xvfb-run -a %s\n", argv[0]);
    return 1;
  }
  wxTheApp->CallOnInit();

  std::vector<double> smallTimes, largeTimes, smallReads, largeReads;
  for (int r = 0; r < rounds; ++r) {
    const Timing s = LoadOnce(small), l = LoadOnce(large);
    smallTimes.push_back(s.window);
    largeTimes.push_back(l.window);
    smallReads.push_back(s.reader);
    largeReads.push_back(l.reader);
    std::printf("round %d: %d entries %.3f s (reader %.3f s), %d entries %.3f s (reader %.3f s)\n", r + 1,
                small, s.window, s.reader, large, l.window, l.reader);
  }
  wxTheApp->OnExit();
  wxEntryCleanup();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder);

  const double smallTime = bench::median(smallTimes), largeTime = bench::median(largeTimes);
  const double countRatio = static_cast<double>(large) / small;
  const double timeRatio = largeTime / smallTime;
  std::printf("Server.cnv to the filled list, median of %d rounds\n", rounds);
  std::printf("%6d entries  %8.3f s  (%.1f us per entry)\n", small, smallTime, smallTime / small * 1e6);
  std::printf("%6d entries  %8.3f s  (%.1f us per entry)\n", large, largeTime, largeTime / large * 1e6);
  std::printf("the reader alone: %.3f s and %.3f s, ratio %.2f\n", bench::median(smallReads),
              bench::median(largeReads), bench::median(largeReads) / bench::median(smallReads));
  std::printf("ratio %d/%d: time %.2f (count ratio %.2f; linear <= %.2f)\n", large, small, timeRatio,
              countRatio, countRatio * 1.5);
  return timeRatio <= countRatio * 1.5 ? 0 : 2;
}
