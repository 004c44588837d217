// libFuzzer target: an update session against a server that sends arbitrary
// bytes in arbitrary pieces. The session core runs over a scripted
// connection, in this thread, without a socket or an event loop, in a
// scratch game folder where links to a folder beside it stand under the
// names a server would write (Notice.html, a.dat.gz, new.dat.gz, and data/
// as a moved folder).
//
// Input: byte 0 chooses the piece sizes, whether the connection's own
// address is 127.0.0.1 (bit 6 clear) or another one, where the size limit
// and redirects apply (bit 6 set), and whether the server closes at the end
// (bit 7); the rest is what the server sends, cut into those pieces.
//
// Checked on every input, besides the sanitizers: nothing beside the game
// folder is created, changed or removed (the links are never written
// through), and the session never holds more than its one receive buffer.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "session/testing/scripted_connection.h"
#include "session/update_session.h"
#include "session/wire.h"

namespace fs = std::filesystem;

namespace {

/// A host that follows nothing but whether the session ended.
class QuietHost : public session::SessionEvents {
 public:
  bool ended = false;
  void OnUpToDate() override { ended = true; }
  void OnComplete() override { ended = true; }
  void OnFailed(const session::SessionFailure&) override { ended = true; }
};

struct Harness {
  fs::path root, game, outside;
  std::map<std::string, std::string> outsideBefore;
  std::string keptBefore;

  Harness() {
    // Every input plants links and folders anew: in memory where the
    // system offers a folder for it, since a disk's inode work would
    // otherwise take most of the time.
    std::string pattern = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/fuzz-session-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    game = root / "game";
    outside = root / "outside";
    fs::create_directories(outside / "moved-data");
    std::ofstream(outside / "victim") << "outside the folder";
    std::ofstream(outside / "moved-data" / "kept.dat") << "in the moved folder";
    outsideBefore = Snapshot(outside);
    keptBefore = Snapshot(outside / "moved-data").at("kept.dat");
  }

  ~Harness() {
    std::error_code ignored;
    fs::current_path("/", ignored);
    fs::remove_all(root, ignored);
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

  /// True when the game folder holds the planted links and nothing else,
  /// and the moved data folder only its own file: most inputs end before
  /// the session writes anything.
  bool GameAsPlanted() const {
    std::error_code error;
    int links = 0;
    for (const auto& entry : fs::directory_iterator(game, error)) {
      if (!entry.is_symlink() || ++links > 4) return false;
    }
    int moved = 0;
    for (const auto& entry : fs::directory_iterator(outside / "moved-data", error)) {
      if (entry.path().filename() != "kept.dat" || ++moved > 1) return false;
    }
    return !error && links == 4 && moved == 1;
  }

  /// A fresh game folder with the links planted; the moved data folder
  /// holds only its own file again.
  void ResetGame() {
    if (GameAsPlanted()) return;
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
  const bool fromAfar = (control & 0x40) != 0;
  ++data;
  --size;

  QuietHost host;
  session::SessionOutcome outcome;
  session::testing::ScriptedConnection connection;
  if (fromAfar) connection.localAddress = 0x010200C0;  // 192.0.2.1
  {
    session::UpdateSession s(connection, host, outcome, {"127.0.0.1", ""}, 43001);
    s.ConnectToServers();
    for (std::size_t at = 0; at < size && !host.ended; at += piece) {
      const std::size_t n = std::min(piece, size - at);
      connection.Send(session::testing::ScriptedConnection::Bytes(data + at, data + at + n));
      h.Check(s);
    }
    if (closeAtEnd) connection.End();
    h.Check(s);
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
