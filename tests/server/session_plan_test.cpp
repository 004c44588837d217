// What a session gets: the files, their order and their version fields, for
// hand-picked histories and, as a property, for random ones with sessions cut
// at random points.

#include <gtest/gtest.h>

#include <random>

#include "server/session_plan.h"
#include "store_builder.h"

using server::PlanLimits;
using server::PlanSession;
using server_test::History;
using server_test::MakeSnapshot;

namespace {

std::string Describe(const server::SessionPlan& plan) {
  std::string text;
  int kind = 0;
  for (const server::PlannedFile& f : plan.Files()) {
    for (; kind < f.kind; ++kind) text += "| ";
    text += f.file->name + ":" + std::to_string(f.version) + " ";
  }
  for (; kind < 1; ++kind) text += "| ";
  if (!text.empty()) text.pop_back();
  return text;
}

struct PlanCase {
  const char* name;
  History major, minor;
  std::uint32_t installedMajor, installedMinor;
  PlanLimits limits;
  const char* expected;  // "name:version ..." of kind 0, "|", then kind 1
  std::uint32_t reachedMajor, reachedMinor;
};

class PlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTable, FilesOrderAndVersionFields) {
  const PlanCase& c = GetParam();
  const auto plan = PlanSession(MakeSnapshot(c.major, c.minor),
                                {session::RequestFilesOnly, c.installedMajor, c.installedMinor}, c.limits);
  EXPECT_EQ(Describe(plan), c.expected);
  EXPECT_EQ(plan.reached[0], c.reachedMajor);
  EXPECT_EQ(plan.reached[1], c.reachedMinor);
  EXPECT_EQ(plan.list.totalBytes, 100 * static_cast<int>(plan.FileCount()));
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanTable,
    ::testing::Values(
        PlanCase{"NewestCopiesOrderedByLastChange",
                 {{"a", "b"}, {"c"}, {"a"}},
                 {},
                 0,
                 0,
                 {},
                 "b:0 c:0 a:3 |",
                 3,
                 0},
        PlanCase{
            "StartsAfterTheInstalledVersion", {{"a", "b"}, {"c"}, {"a"}}, {}, 1, 0, {}, "c:2 a:3 |", 3, 0},
        PlanCase{"VersionFieldClimbsAsEachVersionCompletes",
                 {{"a"}, {"b"}, {"c"}},
                 {},
                 0,
                 0,
                 {},
                 "a:1 b:2 c:3 |",
                 3,
                 0},
        PlanCase{
            "FileChangedTwiceHoldsBackItsFirstVersion", {{"a", "b"}, {"a"}}, {}, 0, 0, {}, "b:0 a:2 |", 2, 0},
        PlanCase{"MinorFilesFollowMajorFiles", {{"m"}}, {{"x"}, {"y"}}, 0, 0, {}, "m:1 | x:1 y:2", 1, 2},
        PlanCase{"UpToDateGetsNothing", {{"m"}}, {{"x"}, {"y"}}, 1, 2, {}, "|", 1, 2},
        PlanCase{"AheadOfTheStoreGetsNothingOfThatKind",
                 {{"m"}},
                 {{"x"}},
                 4294967295u,
                 0,
                 {},
                 "| x:1",
                 4294967295u,
                 1},
        PlanCase{"FileLimitEndsOnWholeVersions",
                 {{"a", "b"}, {"c"}, {"d"}},
                 {},
                 0,
                 0,
                 {3, 1u << 30},
                 "a:0 b:1 c:2 |",
                 2,
                 0},
        PlanCase{"ByteLimitIsSharedByBothKinds", {{"a", "b"}}, {{"x"}}, 0, 0, {10, 250}, "a:0 b:1 |", 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionPlan, NoticeComesFirstWithItsLengthEvenWithoutANotice) {
  auto snapshot = std::const_pointer_cast<server::Snapshot>(MakeSnapshot({{"a"}}, {}));
  const auto withoutNotice = PlanSession(snapshot, {session::RequestNoticeAndFiles, 0, 0});
  ASSERT_EQ(withoutNotice.head.size(), 2u);
  EXPECT_EQ(withoutNotice.head[0].bytes, std::vector<std::uint8_t>({0, 0, 0, 0}));
  EXPECT_TRUE(withoutNotice.head[0].path.empty());

  snapshot->notice = {1700000000, "notice/1700000000.html", 300};
  const auto withNotice = PlanSession(snapshot, {session::RequestNoticeAndFiles, 0, 0});
  EXPECT_EQ(withNotice.head[0].bytes, std::vector<std::uint8_t>({0x2C, 0x01, 0, 0}));
  EXPECT_EQ(withNotice.head[0].path, "notice/1700000000.html");
  EXPECT_EQ(withNotice.wireBytes, 4 + 300 + 8 + 12 + 100u);
  EXPECT_EQ(PlanSession(snapshot, {session::RequestFilesOnly, 0, 0}).head.size(), 1u);
}

// ---- the property -----------------------------------------------------------

/// A player's installation as the updater leaves it: per kind the recorded
/// version and, per file name, which release its copy came from.
struct Player {
  std::uint32_t versions[2] = {0, 0};
  std::map<std::string, std::uint32_t> copies[2];
};

/// The copies a player has after installing everything up to VERSIONS.
Player InstalledUpTo(const History* histories[2], std::uint32_t major, std::uint32_t minor) {
  Player p;
  p.versions[0] = major;
  p.versions[1] = minor;
  for (int kind = 0; kind < 2; ++kind) {
    for (std::uint32_t v = 1; v <= p.versions[kind]; ++v) {
      for (const std::string& name : (*histories[kind])[v - 1]) p.copies[kind][name] = v;
    }
  }
  return p;
}

/// "Every change up to the recorded version is installed", checked directly.
::testing::AssertionResult ChangesInstalled(const Player& p, const History* histories[2]) {
  for (int kind = 0; kind < 2; ++kind) {
    for (std::uint32_t v = 1; v <= p.versions[kind]; ++v) {
      for (const std::string& name : (*histories[kind])[v - 1]) {
        const auto at = p.copies[kind].find(name);
        if (at == p.copies[kind].end() || at->second < v) {
          return ::testing::AssertionFailure()
                 << server::KindName(kind) << " version " << p.versions[kind] << " recorded, but " << name
                 << " of version " << v << " is " << (at == p.copies[kind].end() ? "missing" : "older");
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(SessionPlanProperty, CutSessionsAlwaysEndInTheNewestRelease) {
  std::mt19937 rng(20241208);
  for (int trial = 0; trial < 1500; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    History histories[2];
    const History* view[2] = {&histories[0], &histories[1]};
    auto publish = [&](int kind) {
      std::vector<std::string> names;
      const int count = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < count; ++i) {
        const std::string name = std::string(kind == 0 ? "m" : "n") + std::to_string(rng() % 8);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
      histories[kind].push_back(names);
    };
    for (int kind = 0; kind < 2; ++kind) {
      for (int n = static_cast<int>(rng() % 9); n > 0; --n) publish(kind);
    }
    Player player = InstalledUpTo(view, static_cast<std::uint32_t>(rng() % (histories[0].size() + 1)),
                                  static_cast<std::uint32_t>(rng() % (histories[1].size() + 1)));
    // Tight limits make sessions end early on whole versions; every single
    // version still fits, as publishing guarantees.
    PlanLimits limits;
    if (rng() % 3 == 0) limits = {4 + static_cast<std::uint32_t>(rng() % 4), 400 + 100 * (rng() % 6)};

    int publishes = static_cast<int>(rng() % 3);
    bool done = false;
    for (int session = 0; session < 200 && !done; ++session) {
      if (publishes > 0 && rng() % 3 == 0) {
        publish(static_cast<int>(rng() % 2));
        --publishes;
      }
      const auto plan =
          PlanSession(MakeSnapshot(histories[0], histories[1]),
                      {session::RequestFilesOnly, player.versions[0], player.versions[1]}, limits);
      // Version fields never fall and end where the plan says.
      std::uint32_t last[2] = {player.versions[0], player.versions[1]};
      const auto files = plan.Files();
      for (const auto& f : files) {
        ASSERT_GE(f.version, last[f.kind]);
        last[f.kind] = f.version;
      }
      ASSERT_EQ(last[0], plan.reached[0]);
      ASSERT_EQ(last[1], plan.reached[1]);

      const std::size_t cut = rng() % 2 == 0 ? files.size() : rng() % (files.size() + 1);
      for (std::size_t i = 0; i < cut; ++i) {
        const auto& f = files[i];
        player.copies[f.kind][f.file->name] = f.copyVersion;
        player.versions[f.kind] = f.version;
        ASSERT_TRUE(ChangesInstalled(player, view)) << "after file " << i << " of " << cut;
      }
      done = publishes == 0 && player.versions[0] == histories[0].size() &&
             player.versions[1] == histories[1].size();
    }
    ASSERT_TRUE(done) << "no progress";
    const Player newest = InstalledUpTo(view, player.versions[0], player.versions[1]);
    EXPECT_EQ(player.copies[0], newest.copies[0]);
    EXPECT_EQ(player.copies[1], newest.copies[1]);
  }
}

}  // namespace
