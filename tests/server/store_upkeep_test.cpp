// Keeping a store: a prune never changes what any session is sent (of an
// unsigned or a signed store), frees
// superseded copies and old notice pages, and spares what a running server
// still holds; a check names every stored file that differs from what
// publish recorded.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "server/publish.h"
#include "server/store_upkeep.h"
#include "server/update_server.h"
#include "store_builder.h"
#include "test_client.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using server::PlanLimits;
using server_test::HandFile;
using server_test::TestClient;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

/// Everything a session for each installed pair is sent, as text.
std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> AllPlans(const std::string& root,
                                                                        const PlanLimits& limits) {
  const auto snapshot = server::LoadSnapshot(root);
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> plans;
  for (std::uint32_t a = 0; a <= snapshot->Counter(0); ++a) {
    for (std::uint32_t b = 0; b <= snapshot->Counter(1); ++b) {
      const auto plan = server::PlanSession(snapshot, {session::RequestFilesOnly, a, b}, limits);
      std::string text = std::to_string(plan.reached[0]) + "/" + std::to_string(plan.reached[1]) + " " +
                         std::to_string(plan.list.totalBytes) + ":";
      for (const server::PlannedFile& f : plan.Files()) {
        text += " " + f.file->name + "@" + std::to_string(f.version) + "<" + f.file->path;
        // What is sent must still be there to be sent.
        EXPECT_TRUE(fs::exists(root + "/" + f.file->path)) << f.file->path << " for " << a << "," << b;
      }
      plans[{a, b}] = text;
    }
  }
  return plans;
}

TEST(PruneProperty, PlansForEveryInstalledPairAreUnchanged) {
  std::mt19937 rng(20261208);
  TempDir dir;
  std::uint64_t removed = 0;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::vector<std::vector<HandFile>> histories[2];
    for (int kind = 0; kind < 2; ++kind) {
      for (int n = static_cast<int>(rng() % 7); n > 0; --n) {
        std::vector<HandFile> files;
        for (int count = 1 + static_cast<int>(rng() % 4); count > 0; --count) {
          const std::string name = std::string(kind == 0 ? "m" : "d\\n") + std::to_string(rng() % 6);
          if (std::none_of(files.begin(), files.end(), [&](const HandFile& f) { return f.name == name; })) {
            files.push_back({name, 50 + rng() % 100});
          }
        }
        histories[kind].push_back(files);
      }
    }
    // Tight limits make sessions stop between versions, so that a
    // superseded copy can still be the one sent.
    PlanLimits limits;
    if (rng() % 2 == 0) limits = {4 + static_cast<std::uint32_t>(rng() % 4), 600 + 100 * (rng() % 6)};
    const std::string root = dir / ("store" + std::to_string(trial));
    fs::create_directories(root);
    server_test::WriteHandmadeStore(root, histories[0], histories[1]);
    if (trial % 2 == 1) {  // signed, with a manifest for every state from a random publish on
      std::uint32_t counters[2] = {0, 0};
      const std::size_t publishes = histories[0].size() + histories[1].size();
      const std::size_t signedFrom = rng() % (publishes + 1);
      for (std::size_t i = 0; i < publishes; ++i) {
        const int kind = counters[0] == histories[0].size()   ? 1
                         : counters[1] == histories[1].size() ? 0
                                                              : static_cast<int>(rng() % 2);
        ++counters[kind];
        if (i < signedFrom) continue;
        server_test::WriteHandmadeSignedState(root, counters[0], counters[1]);
      }
    }

    const auto before = AllPlans(root, limits);
    server::PruneOptions options;
    options.limits = limits;
    const auto result = server::Prune(root, options);
    removed += result.removed.size();
    EXPECT_TRUE(result.held.empty());
    ASSERT_EQ(AllPlans(root, limits), before);
    EXPECT_TRUE(server::Prune(root, options).removed.empty()) << "a second prune finds nothing more";
  }
  EXPECT_GT(removed, 50u);
}

/// A session of a signed store cut at state 1 0 is sent the first copy of
/// a.dat, superseded since: it must stay.
TEST(Prune, KeepsTheCopiesOfTheSignedStatesCutSessionsEndAt) {
  TempDir dir;
  const std::string root = dir / "store";
  server_test::WriteHandmadeStore(root, {{{"a.dat", 10}}, {{"a.dat", 10}}}, {{{"b.dat", 60}}});
  for (const auto& [major, minor] : {std::pair{1u, 0u}, {1u, 1u}, {2u, 1u}}) {
    server_test::WriteHandmadeSignedState(root, major, minor);
  }
  server::PruneOptions options;
  options.limits = {10, 100};
  const auto before = AllPlans(root, options.limits);
  EXPECT_EQ(before.at({0, 0}),
            "1/0 80: a.dat@1<major/1/files/a.dat.gz Mirvale.manifest@1<manifest/1-0.manifest.gz "
            "Mirvale.manifest.minisig@1<manifest/1-0.manifest.minisig.gz");
  server::Prune(root, options);
  EXPECT_EQ(AllPlans(root, options.limits), before);
  EXPECT_TRUE(fs::exists(root + "/manifest/1-0.manifest.gz"));
}

TEST(Prune, FreesSupersededCopiesAndOldNoticesAndTellsTheBytes) {
  TempDir dir;
  const std::string root = dir / "store";
  auto publish = [&](int kind, const server_test::Files& files) {
    static int n = 0;
    const std::string source = dir / ("src" + std::to_string(++n));
    server_test::MakeFolder(source, files);
    server::Publish(root, kind, source);
  };
  publish(0, {{"a.dat", std::string(5000, 'a')}, {"keep.dat", "k"}});
  publish(1, {{"p.dat", "p1"}});
  publish(0, {{"a.dat", "a2"}});
  publish(1, {{"p.dat", "p2"}});
  WriteFile(dir / "n.html", "<p>notice</p>");
  std::int32_t stamps[3];
  for (int i = 0; i < 3; ++i) stamps[i] = server::SetNotice(root, dir / "n.html", 1800000000 + i);

  std::uint64_t expectedBytes = 0;
  std::vector<std::string> expected = {"major/1/files/a.dat.gz", "minor/1/files/p.dat.gz",
                                       "notice/" + std::to_string(stamps[0]) + ".html",
                                       "notice/" + std::to_string(stamps[1]) + ".html"};
  for (const std::string& path : expected) expectedBytes += fs::file_size(root + "/" + path);

  server::PruneOptions dryRun;
  dryRun.dryRun = true;
  auto listed = server::Prune(root, dryRun).removed;
  for (const std::string& path : expected)
    EXPECT_TRUE(fs::exists(root + "/" + path)) << "dry run kept " << path;

  auto result = server::Prune(root);
  std::sort(result.removed.begin(), result.removed.end());
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(result.removed, expected);
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(result.bytesFreed, expectedBytes);
  for (const std::string& path : expected) EXPECT_FALSE(fs::exists(root + "/" + path)) << path;
  EXPECT_TRUE(fs::exists(root + "/major/1/files/keep.dat.gz"));
  EXPECT_TRUE(fs::exists(root + "/notice/" + std::to_string(stamps[2]) + ".html"));
  EXPECT_EQ(server::LoadSnapshot(root)->notice.stamp, stamps[2]);
  EXPECT_EQ(server::CheckStore(root).damaged, std::vector<std::string>{});
}

/// A server on its own thread over a store, for sessions held across a prune.
class PruneWhileServing : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) {
      server_->Stop();
      thread_.join();
    }
  }
  void Publish(const server_test::Files& files) {
    const std::string source = dir_ / ("src" + std::to_string(++sources_));
    server_test::MakeFolder(source, files);
    server::Publish(store_, 0, source);
  }
  void Start() {
    server::ServerOptions options;
    options.store = store_;
    options.listenAddress = session::kLoopbackAddress;
    options.port = 0;
    options.log = nullptr;
    server_ = std::make_unique<server::UpdateServer>(options);
    thread_ = std::thread([this] { server_->Run(); });
  }
  TempDir dir_;
  const std::string store_ = dir_ / "store";
  std::unique_ptr<server::UpdateServer> server_;
  std::thread thread_;
  int sources_ = 0;
};

TEST_F(PruneWhileServing, SessionOnTheOlderStateCompletesAndItsCopyGoesAfterwards) {
  const std::string first(200000, 'x');
  Publish({{"a.dat", first}, {"b.dat", "b1"}});
  WriteFile(dir_ / "n.html", "<p>one</p>");
  const std::int32_t oldStamp = server::SetNotice(store_, dir_ / "n.html", 1800000000);
  Start();
  TestClient early(server_->port());
  ASSERT_EQ(early.ReadReply()->major, 1u);

  Publish({{"a.dat", "a2"}, {"b.dat", "b2"}});
  server::SetNotice(store_, dir_ / "n.html", 1800000100);
  // A newer session sees the new state: the server serves it to new sessions now.
  for (int i = 0; i < 500; ++i) {
    TestClient late(server_->port());
    if (late.ReadReply()->major == 2u) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string oldCopy = "major/1/files/a.dat.gz";
  const std::string oldNotice = "notice/" + std::to_string(oldStamp) + ".html";
  const std::string oldBody = ReadFile(store_ + "/" + oldCopy);
  const auto during = server::Prune(store_);
  EXPECT_TRUE(fs::exists(store_ + "/" + oldCopy));
  EXPECT_TRUE(fs::exists(store_ + "/" + oldNotice));
  EXPECT_NE(std::find(during.held.begin(), during.held.end(), oldCopy), during.held.end());

  ASSERT_TRUE(early.SendRequest(session::RequestNoticeAndFiles, 0, 0));
  const auto answer = early.ReadAnswer(true);
  ASSERT_TRUE(answer.complete);
  EXPECT_EQ(answer.notice, "<p>one</p>");
  ASSERT_EQ(answer.files.size(), 2u);
  EXPECT_EQ(answer.files[0].body, oldBody);
  early.Close();

  // Once no session holds the older state, its copies go.
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    server::Prune(store_);
    gone = !fs::exists(store_ + "/" + oldCopy) && !fs::exists(store_ + "/" + oldNotice);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone);
  TestClient after(server_->port());
  const auto newest = after.Update(0, 0);
  ASSERT_TRUE(newest.complete);
  ASSERT_EQ(newest.files.size(), 2u);
  EXPECT_NE(newest.files[0].body.find("a2"), std::string::npos);
}

struct DamageCase {
  const char* label;
  std::function<void(const std::string& root)> damage;
  std::vector<std::string> expected;  // "PATH: part of the reason", in check order
};

void FlipByte(const std::string& path) {
  std::string data = ReadFile(path);
  data[data.size() / 2] = static_cast<char>(data[data.size() / 2] ^ 0x20);
  WriteFile(path, data);
}

class Damage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damage, CheckNamesEveryDamagedFile) {
  TempDir dir;
  const std::string root = dir / "store";
  std::string big;
  for (int i = 0; i < 40000; ++i) big += std::to_string(i * 7919 % 10007) + " ";
  server_test::MakeFolder(dir / "one", {{"a.dat", big}, {"b.dat", "short"}});
  server_test::MakeFolder(dir / "two", {{"p.dat", big.substr(1000)}});
  server::PublishOptions pieces;
  pieces.pieceBytes = 50000;  // several gzip members per stream
  server::Publish(root, 0, dir / "one", pieces);
  server::Publish(root, 1, dir / "two", pieces);
  ASSERT_EQ(server::CheckStore(root).damaged, std::vector<std::string>{});

  GetParam().damage(root);
  const server::CheckResult result = server::CheckStore(root);
  EXPECT_EQ(result.checked, 3u);
  ASSERT_EQ(result.damaged.size(), GetParam().expected.size()) << ::testing::PrintToString(result.damaged);
  for (std::size_t i = 0; i < result.damaged.size(); ++i) {
    const std::string& want = GetParam().expected[i];
    const std::string path = want.substr(0, want.find(": ") + 2);
    EXPECT_EQ(result.damaged[i].rfind(path, 0), 0u) << result.damaged[i];
    EXPECT_NE(result.damaged[i].find(want.substr(path.size())), std::string::npos) << result.damaged[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, Damage,
    ::testing::Values(DamageCase{"Clean", [](const std::string&) {}, {}},
                      DamageCase{"SameSizeByteFlip",
                                 [](const std::string& r) { FlipByte(r + "/major/1/files/a.dat.gz"); },
                                 {"major/1/files/a.dat.gz: CRC-32"}},
                      DamageCase{"Truncated",
                                 [](const std::string& r) {
                                   fs::resize_file(r + "/major/1/files/b.dat.gz",
                                                   fs::file_size(r + "/major/1/files/b.dat.gz") - 3);
                                 },
                                 {"major/1/files/b.dat.gz: bytes, the manifest says"}},
                      DamageCase{"Missing",
                                 [](const std::string& r) { fs::remove(r + "/minor/1/files/p.dat.gz"); },
                                 {"minor/1/files/p.dat.gz: missing"}},
                      DamageCase{"TrailingBytes",
                                 [](const std::string& r) {
                                   WriteFile(r + "/major/1/files/b.dat.gz",
                                             ReadFile(r + "/major/1/files/b.dat.gz") + "xx");
                                 },
                                 {"major/1/files/b.dat.gz: bytes, the manifest says"}},
                      DamageCase{"EachOfSeveral",
                                 [](const std::string& r) {
                                   FlipByte(r + "/major/1/files/a.dat.gz");
                                   FlipByte(r + "/minor/1/files/p.dat.gz");
                                 },
                                 {"major/1/files/a.dat.gz: CRC-32", "minor/1/files/p.dat.gz: CRC-32"}},
                      DamageCase{"FlipInAStoreWithoutChecksums",
                                 [](const std::string& r) {
                                   fs::remove(r + "/major/1/checksums");
                                   FlipByte(r + "/major/1/files/a.dat.gz");
                                 },
                                 {"major/1/files/a.dat.gz: not a sound gzip stream"}},
                      DamageCase{"ExtraMemberInAStoreWithoutChecksums",
                                 [](const std::string& r) {
                                   fs::remove(r + "/major/1/checksums");
                                   const std::string path = r + "/major/1/files/b.dat.gz";
                                   WriteFile(path, ReadFile(path) + ReadFile(path));
                                   // The manifest is told the new size: only decoding can tell.
                                   std::string manifest = ReadFile(r + "/major/1/manifest");
                                   const std::string size = std::to_string(fs::file_size(path) / 2);
                                   manifest.replace(manifest.find("file " + size), 5 + size.size(),
                                                    "file " + std::to_string(fs::file_size(path)));
                                   WriteFile(r + "/major/1/manifest", manifest);
                                 },
                                 {"major/1/files/b.dat.gz: decodes to more bytes"}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
