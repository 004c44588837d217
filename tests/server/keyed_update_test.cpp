// A keyed updater (PublicKey= in Config.ini) against the real update server
// of a signed store, through a stand-in that rewrites what the server sends:
// every tampering is refused before anything is installed, and an updater
// without a key takes the same streams as it always did. Then the check of
// the installed game (--verify, --repair).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "session/wire.h"
#include "store_builder.h"
#include "test_client.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"
#include "trust/keys.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace fs = std::filesystem;
using server_test::Files;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

/// One file as the session carries it.
struct SentFile {
  std::string name;
  std::uint32_t version = 0;
  int kind = 0;
  std::string body;  // the gzip stream
};
using SentFiles = std::vector<SentFile>;

template <typename List>
auto* FindFile(List& files, const std::string& name) {
  decltype(&files.front()) found = nullptr;
  for (auto& file : files)
    if (file.name == name) found = &file;
  return found;
}

/// Stands between the updater and the real server, one connection at a
/// time: passes the version reply and the request on, reads the server's
/// whole answer, lets TAMPER rewrite its files and sends them on with the
/// file list and the file headers made to fit.
class TamperingProxy {
 public:
  explicit TamperingProxy(std::uint16_t upstream) : upstream_(upstream) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::listen(listen_, 4);
    socklen_t size = sizeof at;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &size);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TamperingProxy() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }
  void SetTamper(std::function<void(SentFiles&)> tamper) {
    std::lock_guard<std::mutex> lock(mutex_);
    tamper_ = std::move(tamper);
  }
  /// The files of the last session, as sent to the updater.
  SentFiles last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      Relay(client);
      ::close(client);
    }
  }

  static bool SendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  template <typename Array>
  static std::string Str(const Array& a) {
    return std::string(a.begin(), a.end());
  }

  void Relay(int client) {
    server_test::TestClient server(upstream_);
    const std::optional<session::VersionReply> reply = server.ReadReply();
    if (!reply || !SendAll(client, Str(session::EncodeVersionReply(*reply)))) return;
    std::uint8_t request[session::kUpdateRequestSize];
    std::size_t got = 0;
    while (got < sizeof request) {
      const ssize_t n = ::recv(client, request + got, sizeof request - got, 0);
      if (n <= 0) return;  // up to date: the updater asks nothing
      got += static_cast<std::size_t>(n);
    }
    const session::UpdateRequest asked = session::DecodeUpdateRequest(request);
    const bool notice = asked.code == session::RequestNoticeAndFiles;
    if (!server.SendRequest(asked.code, asked.major, asked.minor)) return;
    const server_test::Answer answer = server.ReadAnswer(notice);
    if (!answer.complete) return;
    SentFiles files;
    for (std::size_t i = 0; i < answer.files.size(); ++i) {
      const auto& f = answer.files[i];
      files.push_back({f.name, f.version, i < answer.list.counts[0] ? 0 : 1, f.body});
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tamper_) tamper_(files);
      last_ = files;
    }
    std::string out;
    if (notice)
      out +=
          Str(session::EncodeNoticeLength(static_cast<std::uint32_t>(answer.notice.size()))) + answer.notice;
    session::FileListHeader list;
    for (const SentFile& file : files) {
      ++list.counts[file.kind];
      list.totalBytes += static_cast<std::int32_t>(file.body.size());
    }
    out += Str(session::EncodeFileListHeader(list));
    for (const int kind : {0, 1}) {
      for (const SentFile& file : files) {
        if (file.kind != kind) continue;
        out += Str(
            session::EncodeFileHeader(file.version, static_cast<std::int32_t>(file.body.size()), file.name));
        out += file.body;
      }
    }
    if (!SendAll(client, out)) return;
    char sink[256];
    while (::recv(client, sink, sizeof sink, 0) > 0) {
    }
  }

  std::uint16_t upstream_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::function<void(SentFiles&)> tamper_;
  SentFiles last_;
};

/// `update-server serve` in the background, on a free port.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& store, const std::string& log)
      : child_({"/bin/sh", "-c",
                std::string("exec ") + UPDATE_SERVER + " serve '" + store + "' --listen 127.0.0.1:0 > '" +
                    log + "' 2>&1"}) {
    const std::regex serving("serving .* on 127\\.0\\.0\\.1:([0-9]+):");
    test_support::WaitUntil(
        [&] {
          std::smatch m;
          const std::string text = ReadFile(log);
          if (std::regex_search(text, m, serving)) port_ = static_cast<std::uint16_t>(std::stoi(m[1]));
          return port_ != 0;
        },
        std::chrono::seconds(10));
  }
  std::uint16_t port() const { return port_; }

 private:
  test_support::ChildProcess child_;
  std::uint16_t port_ = 0;
};

/// Every file below DIR with its content: the whole visible state of a game folder.
Files Snapshot(const std::string& dir) { return server_test::ReadFolder(dir); }

class KeyedUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Tool({"keygen", dir_ / "key"}).status, 0);
    const std::string pub = ReadFile(dir_ / "key/mirvale.pub");
    publicKeyLine_ = pub.substr(pub.find('\n') + 1);
    publicKeyLine_.erase(publicKeyLine_.find_last_not_of("\r\n") + 1);
  }

  static RunResult Tool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), UPDATE_SERVER);
    return test_support::Run(arguments);
  }
  void Publish(const std::string& kind, const std::string& name, const Files& files) {
    server_test::MakeFolder(dir_ / name, files);
    const RunResult run = Tool({"publish", store_, kind, dir_ / name, "--sign", dir_ / "key/mirvale.key"});
    ASSERT_EQ(run.status, 0) << run.output;
  }
  /// Config.ini of GAME for PORT, keyed or not.
  void Configure(const std::string& game, std::uint16_t port, bool keyed) {
    fs::create_directories(game);
    WriteFile(game + "/Config.ini", "[Update]\nIP1=127.0.0.1\nIP2=\nPort=" + std::to_string(port) + "\n" +
                                        (keyed ? "PublicKey=" + publicKeyLine_ + "\n" : ""));
  }
  /// updater-console in GAME: the one built beside this suite, or the one
  /// $UPDATER_CONSOLE names (the Windows build under Wine, for example).
  static RunResult Console(const std::string& game, const std::string& arguments) {
    const char* tool = std::getenv("UPDATER_CONSOLE");
    return test_support::Run(
        {"/bin/sh", "-c",
         "cd '" + game + "' && exec '" + (tool != nullptr ? tool : UPDATER_CONSOLE) + "' " + arguments});
  }

  TempDir dir_;
  std::string store_ = dir_ / "store";
  std::string publicKeyLine_;
};

const Files kRelease1 = {{"Mirvale.exe", std::string(30000, 'M')},
                         {"Update.exe", "the updater itself"},
                         {"data/map.dat", "track one"}};
const Files kPatch = {{"data/patch.dat", "patched"}, {"readme.txt", "notes"}};

struct Attack {
  const char* label;
  /// Rewrites the session 1 0 -> 1 1; OLDER is the genuinely signed session 0 0 -> 1 0.
  std::function<void(SentFiles& files, const SentFiles& older)> tamper;
  const char* reason;  ///< in the console's "refused:" line
};

/// The signature file's text with LINE (0-based) replaced by REPLACEMENT.
void EditSignature(SentFiles& files, const std::function<std::string(const std::string&)>& edit) {
  SentFile* signature = FindFile(files, trust::kManifestSignatureFileName);
  signature->body = testdata::gzip_of(edit(testdata::gunzip_members(signature->body)), 0);
}

const Attack kAttacks[] = {
    {"BodyReplaced",
     [](SentFiles& files, const SentFiles&) {
       FindFile(files, "data\\patch.dat")->body = testdata::gzip_of("evil content");
     },
     "refused: data\\patch.dat is not the file the manifest lists"},
    {"FilesMovedToAnotherVersion",
     [](SentFiles& files, const SentFiles&) {
       for (SentFile& file : files) file.version = 2;
     },
     "refused: the manifest is for versions 1 1, the files received bring 1 2"},
    {"OlderReleaseReplayedAsNewer",
     [](SentFiles& files, const SentFiles& older) {
       files = older;
       for (SentFile& file : files) file.kind = 1;  // as the minor release 1 the player lacks
     },
     "refused: the manifest is for versions 1 0, the files received bring 1 1"},
    {"SignedByAnotherKey",
     [](SentFiles& files, const SentFiles&) {
       const trust::KeyPair other = trust::GenerateKeyPair();
       const std::string text = testdata::gunzip_members(FindFile(files, trust::kManifestFileName)->body);
       std::string signature;
       trust::Sign(other.secretKey, text, "Mirvale manifest 1 1", signature);
       FindFile(files, trust::kManifestSignatureFileName)->body = testdata::gzip_of(signature, 0);
     },
     "refused: Mirvale.manifest: the signature was made with another key"},
    {"TrustedCommentEdited",
     [](SentFiles& files, const SentFiles&) {
       EditSignature(files, [](std::string text) {
         return std::regex_replace(text, std::regex("manifest 1 1"), "manifest 1 9");
       });
     },
     "refused: Mirvale.manifest: the trusted comment of the signature was altered"},
    {"SignatureTruncated",
     [](SentFiles& files, const SentFiles&) {
       EditSignature(files, [](const std::string& text) { return text.substr(0, text.size() / 2); });
     },
     "refused: Mirvale.manifest: the signature file is malformed or truncated"},
    {"NoManifest", [](SentFiles& files, const SentFiles&) { files.resize(files.size() - 2); },
     "refused: no signed manifest came with the files (Mirvale.manifest is missing)"},
    {"MoreFilesSentThanListed",
     [](SentFiles& files, const SentFiles&) {
       files.insert(files.end() - 2, SentFile{"extra.dll", 1, 1, testdata::gzip_of("not released")});
     },
     "refused: extra.dll was received but the manifest does not list it"},
    {"ManifestOfOtherVersions",
     [](SentFiles& files, const SentFiles& older) {
       *FindFile(files, trust::kManifestFileName) = *FindFile(older, trust::kManifestFileName);
       *FindFile(files, trust::kManifestSignatureFileName) =
           *FindFile(older, trust::kManifestSignatureFileName);
       for (SentFile& file : files) file.kind = 1;
     },
     "refused: the manifest is for versions 1 0, the files received bring 1 1"},
};

// The whole road: a keyed player installs release 1 (manifest included) from
// a signed store; then each tampering of the next session is refused and
// leaves the game folder exactly as it was, while a player without a key
// installs the same stream as today.
TEST_F(KeyedUpdateTest, EveryTamperingIsRefusedAndAnUnkeyedUpdaterBehavesAsBefore) {
  Publish("major", "r1", kRelease1);
  ServerProcess server(store_, dir_ / "server.log");
  ASSERT_NE(server.port(), 0) << ReadFile(dir_ / "server.log");
  TamperingProxy proxy(server.port());

  const std::string base = dir_ / "base";
  Configure(base, proxy.port(), true);
  RunResult run = Console(base, "--install");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "checked: 5 file(s) match the signed manifest")) << run.output;
  EXPECT_TRUE(Has(run.output, "versions recorded: 1 0")) << run.output;
  EXPECT_EQ(ReadFile(base + "/Update0.exe"), "the updater itself");
  trust::Manifest installed;
  ASSERT_EQ(trust::ParseManifest(ReadFile(base + "/Mirvale.manifest"), installed), trust::Verdict::Accepted);
  EXPECT_EQ(installed.major, 1u);
  const SentFiles older = proxy.last();

  Publish("minor", "p1", kPatch);
  const Files before = Snapshot(base);
  for (const Attack& attack : kAttacks) {
    for (const bool keyed : {true, false}) {
      SCOPED_TRACE(std::string(attack.label) + (keyed ? " keyed" : " without a key"));
      const std::string game = dir_ / (std::string(attack.label) + (keyed ? "-keyed" : "-plain"));
      fs::copy(base, game, fs::copy_options::recursive);
      Configure(game, proxy.port(), keyed);
      const Files configured = Snapshot(game);
      proxy.SetTamper([&](SentFiles& files) { attack.tamper(files, older); });
      run = Console(game, "--install");
      if (keyed) {
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_TRUE(Has(run.output, attack.reason)) << run.output;
        EXPECT_TRUE(Has(run.output, "message 8 (MsgUnverifiedUpdate): 업데이트 파일을 확인할 수 없습니다."))
            << run.output;
        EXPECT_EQ(Snapshot(game), configured) << "nothing installed, File.ver kept, no download left";
      } else {
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(Has(run.output, "versions recorded: ")) << run.output;
        for (const SentFile& file : proxy.last()) {
          std::string path = file.name == "Update.exe" ? "Update0.exe" : file.name;
          std::replace(path.begin(), path.end(), '\\', '/');
          EXPECT_EQ(ReadFile(game + "/" + path), testdata::gunzip_members(file.body)) << file.name;
        }
      }
    }
  }
  EXPECT_EQ(Snapshot(base), before);

  // A name sent twice counts once, with its later body: the session then
  // installs, the new manifest with it.
  proxy.SetTamper([](SentFiles& files) {
    files.insert(files.begin(), SentFile{"data\\patch.dat", 1, 1, testdata::gzip_of("an earlier body")});
  });
  run = Console(base, "--install");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "versions recorded: 1 1")) << run.output;
  EXPECT_EQ(ReadFile(base + "/data/patch.dat"), "patched");
  ASSERT_EQ(trust::ParseManifest(ReadFile(base + "/Mirvale.manifest"), installed), trust::Verdict::Accepted);
  EXPECT_EQ(installed.minor, 1u);
}

// The installed game against its manifest: all present, then one file
// damaged and one missing, by --verify and --repair; and the clear refusals
// without a key or a manifest.
TEST_F(KeyedUpdateTest, VerifyAndRepairTheInstalledGame) {
  Publish("major", "r1", kRelease1);
  Publish("minor", "p1", kPatch);
  ServerProcess server(store_, dir_ / "server.log");
  TamperingProxy proxy(server.port());
  const std::string game = dir_ / "game";
  Configure(game, proxy.port(), true);
  ASSERT_EQ(Console(game, "--install").status, 0);

  RunResult run = Console(game, "--verify");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "all 5 file(s) match the signed manifest")) << run.output;

  WriteFile(game + "/data/map.dat", "track two");
  fs::remove(game + "/Update0.exe");  // where Update.exe is kept
  for (const char* mode : {"--verify", "--repair"}) {
    SCOPED_TRACE(mode);
    run = Console(game, mode);
    EXPECT_TRUE(Has(run.output, "missing: Update.exe\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "damaged: data\\map.dat\n")) << run.output;
    EXPECT_TRUE(Has(run.output, "2 of 5 file(s) missing or damaged")) << run.output;
  }
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "versions 0 0 recorded in File.ver")) << run.output;
  ASSERT_EQ(Console(game, "--install").status, 0);  // the next update brings every file again
  EXPECT_EQ(Console(game, "--verify").status, 0);

  fs::remove(game + "/Mirvale.manifest.minisig");
  run = Console(game, "--verify");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.output, "cannot check: no installed manifest")) << run.output;
  Configure(game, proxy.port(), false);
  run = Console(game, "--repair");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.output, "cannot check: no PublicKey")) << run.output;
}

}  // namespace
