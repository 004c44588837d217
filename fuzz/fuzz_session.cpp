// libFuzzer target: an update session against a server that sends arbitrary
// bytes in arbitrary pieces. The session runs as in the console tool (wx's
// own event loop, a real connection over loopback) in a scratch game folder
// where links to a folder beside it stand under the names a server would
// write (Notice.html, a.dat.gz, new.dat.gz, and data/ as a moved folder).
//
// Input: byte 0 chooses the piece sizes and whether the server closes at the
// end; the rest is what the server sends, cut into those pieces.
//
// Checked on every input, besides the sanitizers: nothing beside the game
// folder is created, changed or removed (the links are never written
// through), the session never holds more than its one receive buffer, and
// the session ends or waits without hanging.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "platform/socket_layer.h"
#include "session/update_session.h"
#include "session/wire.h"

namespace fs = std::filesystem;

namespace {

/// A window that records nothing but whether the session ended.
class QuietView : public session::SessionView {
 public:
  bool ended = false;
  void ShowNotice() override {}
  void CollapseDownloadArea() override { ended = true; }
  void SetTotalProgressRange(std::int32_t) override {}
  void SetFileProgressRange(std::int32_t) override {}
  void AdvanceProgress(std::int32_t) override {}
  void RefreshProgressTexts(const session::ProgressTexts&) override {}
  void ShowMessage(resources::MessageId) override {}
  void ShowCannotCreateFile(const std::string&) override {}
  void EndWindow() override { ended = true; }
  void PostCloseRequest() override { ended = true; }
  void RepaintNow() override {}
  void RunInstallation() override {}
};

struct Harness {
  fs::path root, game, outside;
  int listenFd = -1;
  std::uint16_t port = 0;
  std::unique_ptr<wxEventLoopBase> loop;
  std::map<std::string, std::string> outsideBefore;
  std::string keptBefore;

  Harness() {
    if (!wxInitialize() || !platform::StartSocketLayer()) std::abort();
    loop.reset(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop());
    char pattern[] = "/tmp/fuzz-session-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    root = pattern;
    game = root / "game";
    outside = root / "outside";
    fs::create_directories(outside / "moved-data");
    std::ofstream(outside / "victim") << "outside the folder";
    std::ofstream(outside / "moved-data" / "kept.dat") << "in the moved folder";
    outsideBefore = Snapshot(outside);
    keptBefore = Snapshot(outside / "moved-data").at("kept.dat");

    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listenFd, 4) != 0) {
      std::abort();
    }
    socklen_t length = sizeof at;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&at), &length);
    port = ntohs(at.sin_port);
  }

  /// Every file below DIR with its contents (links as "-> target"), but
  /// what is inside moved-data, where the game's data folder really lies.
  static std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = fs::relative(it->path(), dir).string();
      if (dir.filename() != "moved-data" && name.rfind("moved-data/", 0) == 0) continue;
      if (it->is_symlink()) {
        files[name] = "-> " + fs::read_symlink(it->path()).string();
      } else if (it->is_regular_file()) {
        std::ifstream in(it->path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        files[name] = content.str();
      } else {
        files[name] = "(folder)";
      }
    }
    return files;
  }

  /// A fresh game folder with the links planted; the moved data folder
  /// holds only its own file again.
  void ResetGame() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(outside / "moved-data")) {
      if (entry.path().filename() != "kept.dat") fs::remove_all(entry.path(), ignored);
    }
    fs::remove_all(game, ignored);
    fs::create_directories(game);
    fs::create_symlink(outside / "victim", game / "Notice.html");
    fs::create_symlink(outside / "victim", game / "a.dat.gz");
    fs::create_symlink(outside / "not-there", game / "new.dat.gz");
    fs::create_directory_symlink(outside / "moved-data", game / "data");
    fs::current_path(game);
  }

  void Check(const session::UpdateSession& s) const {
    if (s.buffered() > session::kReceiveBufferSize) {
      std::fprintf(stderr, "session holds %zu bytes\n", s.buffered());
      std::abort();
    }
  }
};

Harness& TheHarness() {
  static Harness harness;
  return harness;
}

constexpr std::size_t kPieceSizes[] = {1, 2, 3, 7, 16, 17, 100, 1000, 2047, 2048, 4096, 65536};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Harness& h = TheHarness();
  h.ResetGame();
  const std::uint8_t control = data[0];
  const std::size_t piece = kPieceSizes[control % std::size(kPieceSizes)];
  const bool closeAtEnd = (control & 0x80) != 0;
  ++data;
  --size;

  QuietView view;
  session::SessionOutcome outcome;
  {
    session::UpdateSession s(view, outcome, {"127.0.0.1", ""}, h.port);
    wxEventLoopActivator active(h.loop.get());
    s.ConnectToServers();
    const int server = ::accept4(h.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) std::abort();
    for (std::size_t at = 0; at < size && !view.ended && s.progress() != session::UpdateSession::Progress::Failed;) {
      const std::size_t n = std::min(piece, size - at);
      if (::send(server, data + at, n, MSG_NOSIGNAL) <= 0) break;
      at += n;
      // Until the session has taken what was sent (or stopped reading).
      for (int turn = 0; turn < 50; ++turn) {
        h.loop->DispatchTimeout(0);
        h.Check(s);
        int pending = 0;
        if (ioctl(server, TIOCOUTQ, &pending) == 0 && pending == 0) break;
      }
    }
    if (closeAtEnd) ::shutdown(server, SHUT_WR);
    for (int turn = 0; turn < 3; ++turn) {
      h.loop->DispatchTimeout(0);
      h.Check(s);
    }
    ::close(server);
  }
  if (Harness::Snapshot(h.outside) != h.outsideBefore) {
    std::fprintf(stderr, "something beside the game folder changed\n");
    std::abort();
  }
  // In the moved data folder only downloads may appear, the rest stays.
  for (const auto& [name, content] : Harness::Snapshot(h.outside / "moved-data")) {
    const bool download = name.size() >= 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
    if (name == "kept.dat" ? content != h.keptBefore : !download && content != "(folder)") {
      std::fprintf(stderr, "the moved data folder holds %s\n", name.c_str());
      std::abort();
    }
  }
  return 0;
}
