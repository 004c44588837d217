// The update window as players run it, measured against its peers in the
// same run (needs a display: run under xvfb-run -a):
//  - download: the same file list from a local server through the real
//    Update program and through updater-console; the time from the first
//    byte the server sends to the collapsed window (the console: to the
//    complete session), and how far the window's resident size grows;
//  - install: a download of gzip files, then the OK button: the time from
//    the key press to the server selection, against the decompress program
//    run alone on copies of the same files, and against the same
//    installation with its flushes skipped (a preloaded library makes
//    syncfs and fsync return at once): what durability costs.
//
//   window_bench [download-MB=200] [rounds=5] [install-MB=100] [install-folder]
//
// download-MB 0 skips the download and start-up figures. The installation
// runs on a memory file system unless INSTALL-FOLDER names another place (a
// disk, for the cost of durability).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "testdata/deflate_data.h"
#include "session/wire.h"
#include "stream_server.h"
#include "test_support/desktop.h"
#include "test_support/process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

/// The stamp of the first trace line with EVENT in FILE, or 0.
std::int64_t TraceStamp(const std::string& file, const std::string& event) {
  std::ifstream in(file);
  std::string word;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::int64_t stamp = 0;
    if (words >> word >> stamp && word == event) return stamp;
  }
  return 0;
}

long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

/// One session's server: on GO, stamps the first byte and sends the version
/// reply; after the request, PAYLOAD sends the rest. Keeps the connection
/// until the client closes it.
class OneSessionServer {
 public:
  explicit OneSessionServer(std::function<void(int)> payload, session::VersionReply reply = {1, 1, 0, 0, 0}) {
    listenFd_ = bench::Listen(port_);
    thread_ = std::thread([this, payload, reply] {
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      while (!go_) std::this_thread::sleep_for(1ms);
      const auto bytes = session::EncodeVersionReply(reply);
      firstByteUs_ = NowUs();
      bench::SendAll(fd, bytes.data(), bytes.size());
      std::uint8_t request[session::kUpdateRequestSize];
      bench::ReceiveExactly(fd, request, sizeof request);
      payload(fd);
      std::uint8_t sink[64];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
      ::close(fd);
    });
  }
  ~OneSessionServer() {
    thread_.join();
    ::close(listenFd_);
  }
  std::uint16_t port() const { return port_; }
  void Go() { go_ = true; }
  std::int64_t firstByteUs() const { return firstByteUs_; }

 private:
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> go_{false};
  std::atomic<std::int64_t> firstByteUs_{0};
  std::thread thread_;
};

/// A fresh game folder for one run, with Config.ini for PORT.
std::string GameFolder(const fs::path& root, std::uint16_t port) {
  const fs::path game = root / ("game-" + std::to_string(NowUs()));
  fs::create_directories(game);
  std::ofstream(game / "Config.ini") << "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" << port << "\n";
  return game;
}

std::vector<std::string> Environment(const fs::path& root) {
  return {"XDG_RUNTIME_DIR=" + (root / "run").string(), "XDG_CACHE_HOME=" + (root / "cache").string(),
          "XDG_DATA_HOME=" + (root / "data").string(), "UPDATER_TRACE=1"};
}

struct WindowRun {
  double seconds = 0;
  long rssBeforeKiB = 0, rssPeakKiB = 0;
};

/// Update from the first byte to the collapsed window.
WindowRun RunWindow(const fs::path& root, const bench::Stream& stream) {
  OneSessionServer server([&](int fd) { bench::SendStream(fd, stream); });
  const std::string game = GameFolder(root, server.port());
  const std::string trace = game + "/trace.txt";
  test_support::ChildProcess update({UPDATE_EXE}, {game, Environment(root), trace});
  WindowRun run;
  test_support::WaitUntil([&] { return TraceStamp(trace, "first-paint") != 0; }, 30s);
  std::this_thread::sleep_for(300ms);
  run.rssBeforeKiB = ResidentKiB(update.pid());
  server.Go();
  std::int64_t collapsed = 0;
  while ((collapsed = TraceStamp(trace, "collapsed")) == 0 && update.Running()) {
    run.rssPeakKiB = std::max(run.rssPeakKiB, ResidentKiB(update.pid()));
    std::this_thread::sleep_for(20ms);
  }
  run.seconds = static_cast<double>(collapsed - server.firstByteUs()) / 1e6;
  return run;  // the window is killed with the process object: nothing is installed
}

/// updater-console from the first byte to the end of the complete session.
double RunConsole(const fs::path& root, const bench::Stream& stream) {
  OneSessionServer server([&](int fd) { bench::SendStream(fd, stream); });
  const std::string game = GameFolder(root, server.port());
  const std::string output = game + "/output.txt";
  test_support::ChildProcess console({UPDATER_CONSOLE_EXE}, {game, Environment(root), output});
  server.Go();
  console.WaitForExit(300s);
  return static_cast<double>(TraceStamp(output, "session-ended") - server.firstByteUs()) / 1e6;
}

/// From starting Update to its first painted window and to the notice page
/// loaded in its view: a current Notice.html of about 50 KB, a server that
/// has nothing new.
std::pair<double, double> RunFirstNotice(const fs::path& root) {
  constexpr std::int32_t kStamp = 1700000000;
  OneSessionServer server([](int) {}, {1, 0, 0, 0, kStamp});
  server.Go();
  const std::string game = GameFolder(root, server.port());
  std::string page = "<html><head><meta charset=\"utf-8\"><title>공지</title></head><body>";
  for (int i = 0; page.size() < 50000; ++i) page += "<p>" + std::to_string(i) + " 공지 사항 notice line</p>\n";
  page += "</body></html>";
  std::ofstream(game + "/Notice.html") << page;
  const timespec times[2] = {{kStamp, 0}, {kStamp, 0}};
  utimensat(AT_FDCWD, (game + "/Notice.html").c_str(), times, 0);
  const std::string trace = game + "/trace.txt";
  const std::int64_t start = NowUs();
  test_support::ChildProcess update({UPDATE_EXE}, {game, Environment(root), trace});
  test_support::WaitUntil([&] { return TraceStamp(trace, "notice-loaded") != 0; }, 30s);
  return {static_cast<double>(TraceStamp(trace, "first-paint") - start) / 1e3,
          static_cast<double>(TraceStamp(trace, "notice-loaded") - start) / 1e3};
}

/// Gzip streams of mixed text-like and binary-like data, about MEGABYTES in all.
std::vector<std::pair<std::string, std::string>> InstallFiles(std::int64_t megabytes) {
  std::vector<std::pair<std::string, std::string>> files;
  std::int64_t compressed = 0;
  for (unsigned i = 0; compressed < megabytes * 1000 * 1000; ++i) {
    const std::string plain = i % 2 == 0 ? testdata::text_data(24u << 20, i + 1)
                                         : testdata::noise_data(8u << 20, i + 1);
    files.emplace_back("data\\part" + std::to_string(i) + ".pak", testdata::gzip_of(plain, 6));
    compressed += static_cast<std::int64_t>(files.back().second.size());
  }
  return files;
}

/// From the OK key to the server selection, after downloading FILES; with
/// SKIPFLUSHES the updater's requests to flush succeed without flushing.
double RunInstall(const fs::path& root, const std::vector<std::pair<std::string, std::string>>& files,
                  bool skipFlushes = false) {
  OneSessionServer server([&](int fd) {
    session::FileListHeader list;
    list.counts = {static_cast<std::uint16_t>(files.size()), 0};
    for (const auto& f : files) list.totalBytes += static_cast<std::int32_t>(f.second.size());
    const auto header = session::EncodeFileListHeader(list);
    bench::SendAll(fd, header.data(), header.size());
    std::uint32_t version = 0;
    for (const auto& [name, body] : files) {
      const auto fileHeader = session::EncodeFileHeader(++version, static_cast<std::int32_t>(body.size()), name);
      bench::SendAll(fd, fileHeader.data(), fileHeader.size());
      bench::SendAll(fd, reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    }
  });
  const std::string game = GameFolder(root, server.port());
  const std::string trace = game + "/trace.txt";
  std::vector<std::string> environment = Environment(root);
  if (skipFlushes) environment.push_back("LD_PRELOAD=" SKIP_FLUSHES_SHIM);
  test_support::ChildProcess update({UPDATE_EXE}, {game, environment, trace});
  server.Go();
  test_support::WaitUntil([&] { return TraceStamp(trace, "collapsed") != 0; }, 120s);
  // Each peer starts from a clean disk: what earlier rounds left unwritten
  // would otherwise be flushed by whichever installation comes next.
  ::sync();
  const std::string window = test_support::WindowOf(update.pid(), "Mirvale Update");
  test_support::Shell("xdotool windowfocus --sync " + window);
  const std::int64_t pressed = NowUs();
  test_support::Shell("xdotool key space");  // the focused OK button
  test_support::WaitUntil([&] { return TraceStamp(trace, "server-list") != 0; }, 120s);
  const std::int64_t listed = TraceStamp(trace, "server-list");
  const double seconds = static_cast<double>(listed - pressed) / 1e6;
  // The installation's own share: from the panel shown to the panel hidden.
  std::ifstream in(trace);
  std::int64_t shown = 0, hidden = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string event, what;
    std::int64_t stamp = 0;
    words >> event >> stamp >> what;
    if (event == "wait-panel" && what == "shown" && shown == 0) shown = stamp;
    if (event == "wait-panel" && what == "hidden" && hidden == 0) hidden = stamp;
  }
  std::printf("  OK to panel %.3f s, installing %.3f s, panel to server selection %.3f s\n",
              (shown - pressed) / 1e6, (hidden - shown) / 1e6, (listed - hidden) / 1e6);
  fs::remove_all(game);
  return seconds;
}

/// The decompress program alone on copies of the same files.
double RunDecompressAlone(const fs::path& root, const std::vector<std::pair<std::string, std::string>>& files) {
  const fs::path folder = root / "alone";
  fs::create_directories(folder);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < files.size(); ++i) {
    names.push_back((folder / ("part" + std::to_string(i) + ".pak.gz")).string());
    std::ofstream(names.back(), std::ios::binary) << files[i].second;
  }
  // One small shell runs them, so this big process is forked once, as the
  // updater forks nothing.
  std::string loop = "for f in";
  for (const std::string& name : names) loop += " '" + name + "'";
  loop += "; do '" DECOMPRESS_EXE "' \"$f\" || exit 1; done";
  ::sync();
  const auto start = std::chrono::steady_clock::now();
  test_support::Run({"/bin/sh", "-c", loop});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::remove_all(folder);
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}
double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void RunDownloadAndStart(const fs::path& root, std::int64_t downloadMb, int rounds);
void RunInstallation(const fs::path& root, std::int64_t installMb, int rounds);

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t downloadMb = argc > 1 ? std::atoll(argv[1]) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::int64_t installMb = argc > 3 ? std::atoll(argv[3]) : 100;
  const char* installFolder = argc > 4 ? argv[4] : nullptr;
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "window_bench needs a display: xvfb-run -a %s\n", argv[0]);
    return 1;
  }
  // A memory file system where there is one: the disk's write-back would
  // otherwise decide the figures more than the programs do.
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path root = base / ("window-bench-" + std::to_string(getpid()));
  for (const char* sub : {"run", "cache", "data"}) fs::create_directories(root / sub);
  fs::permissions(root / "run", fs::perms::owner_all);

  if (downloadMb > 0) RunDownloadAndStart(root, downloadMb, rounds);

  if (installMb > 0) {
    fs::path installRoot = root;
    if (installFolder != nullptr) {
      installRoot = fs::path(installFolder) / ("window-bench-" + std::to_string(getpid()));
      for (const char* sub : {"run", "cache", "data"}) fs::create_directories(installRoot / sub);
      fs::permissions(installRoot / "run", fs::perms::owner_all);
    }
    RunInstallation(installRoot, installMb, rounds);
    if (installRoot != root) fs::remove_all(installRoot);
  }
  fs::remove_all(root);
  return 0;
}

namespace {

void RunDownloadAndStart(const fs::path& root, std::int64_t downloadMb, int rounds) {
  const bench::Stream stream = bench::MakeStream(downloadMb * 1000 * 1000);
  const double bytes = static_cast<double>(stream.bodySize) * bench::kStreamFiles;
  std::vector<double> window, console;
  long rssGrowth = 0;
  for (int r = 0; r < rounds; ++r) {
    console.push_back(RunConsole(root, stream));
    const WindowRun w = RunWindow(root, stream);
    window.push_back(w.seconds);
    rssGrowth = std::max(rssGrowth, w.rssPeakKiB - w.rssBeforeKiB);
    std::printf("round %d: console %.3f s, window %.3f s (resident %ld KiB before, %ld KiB at most)\n", r + 1,
                console.back(), w.seconds, w.rssBeforeKiB, w.rssPeakKiB);
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path().filename().string().rfind("game-", 0) == 0) fs::remove_all(entry.path());
    }
  }
  std::printf("download of %.0f MB in %d files over loopback, first byte to the end, %d rounds\n", bytes / 1e6,
              bench::kStreamFiles, rounds);
  std::printf("updater-console  median %.3f s  best %.3f s  (%.1f MB/s)\n", Median(console), Best(console),
              bytes / 1e6 / Median(console));
  std::printf("update window    median %.3f s  best %.3f s  (%.1f MB/s)\n", Median(window), Best(window),
              bytes / 1e6 / Median(window));
  std::printf("ratio window/console: %.3f median, %.3f best (budget <= 1.10, aim 1.03)\n",
              Median(window) / Median(console), Best(window) / Best(console));
  std::printf("window resident size grew by at most %ld KiB during the download (budget 10 MB)\n", rssGrowth);

  std::vector<double> paints, notices;
  for (int r = 0; r < 7; ++r) {
    const auto [paint, notice] = RunFirstNotice(root);
    paints.push_back(paint);
    notices.push_back(notice);
  }
  std::sort(notices.begin(), notices.end());
  std::printf(
      "start to first paint: median %.0f ms; start to the notice page loaded: median %.0f ms, "
      "%.0f to %.0f ms over 7 runs (aim: median under 500 ms)\n",
      Median(paints), Median(notices), notices.front(), notices.back());
}

void RunInstallation(const fs::path& root, std::int64_t installMb, int rounds) {
  const auto files = InstallFiles(installMb);
  std::size_t compressed = 0;
  for (const auto& f : files) compressed += f.second.size();
  std::vector<double> install, unflushed, alone;
  for (int r = 0; r < std::max(3, rounds / 2); ++r) {
    // The order changes from round to round, so that none of the three
    // always runs right after another's writes.
    if (r % 2 == 0) alone.push_back(RunDecompressAlone(root, files));
    if (r % 2 == 0) unflushed.push_back(RunInstall(root, files, true));
    install.push_back(RunInstall(root, files));
    if (r % 2 == 1) unflushed.push_back(RunInstall(root, files, true));
    if (r % 2 == 1) alone.push_back(RunDecompressAlone(root, files));
    std::printf("round %d: decompress alone %.3f s, OK to server selection %.3f s (without flushes %.3f s)\n",
                r + 1, alone.back(), install.back(), unflushed.back());
  }
  std::printf("installation of %zu files, %.1f MB downloaded, in %s\n", files.size(), compressed / 1e6,
              root.c_str());
  std::printf("decompress alone           median %.3f s  best %.3f s\n", Median(alone), Best(alone));
  std::printf("OK to the server selection median %.3f s  best %.3f s\n", Median(install), Best(install));
  std::printf("  the same without flushes median %.3f s  best %.3f s\n", Median(unflushed), Best(unflushed));
  std::printf("ratio installation/decompress: %.3f median, %.3f best (aim <= 1.05)\n",
              Median(install) / Median(alone), Best(install) / Best(alone));
  std::printf("ratio durable/without flushes: %.3f median, %.3f best\n", Median(install) / Median(unflushed),
              Best(install) / Best(unflushed));
}

}  // namespace
