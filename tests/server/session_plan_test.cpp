// What a session gets: the files, their order and their version fields, for
// hand-picked histories and, as a property, for random ones with sessions cut
// at random points, from unsigned and from signed stores.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>

#include "server/session_plan.h"
#include "store_builder.h"

using server::PlanLimits;
using server::PlanSession;
using server_test::History;
using server_test::MakeSnapshot;

namespace {

/// Sizes of the gzip forms of every state's manifest and signature.
constexpr std::uint32_t kManifestBytes = 70, kSignatureBytes = 30;

/// MakeSnapshot, signed: STATES are the signed states in publishing order.
std::shared_ptr<const server::Snapshot> MakeSignedSnapshot(
    const History& major, const History& minor,
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& states) {
  auto snapshot = std::const_pointer_cast<server::Snapshot>(MakeSnapshot(major, minor));
  snapshot->isSigned = true;
  for (const auto& [a, b] : states) {
    const std::string path = "manifest/" + std::to_string(a) + "-" + std::to_string(b) + ".manifest";
    snapshot->signedStates.push_back(
        {{a, b},
         {"Mirvale.manifest", kManifestBytes, 0, path + ".gz"},
         {"Mirvale.manifest.minisig", kSignatureBytes, 0, path + ".minisig.gz"}});
  }
  return snapshot;
}

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

struct SignedCase {
  const char* name;
  History major, minor;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> states;  ///< signed, in publishing order
  std::uint32_t installedMajor, installedMinor;
  PlanLimits limits;
  const char* expected;
  std::uint32_t totalBytes;
};

void PrintTo(const SignedCase& row, std::ostream* out) { *out << row.name; }

class SignedPlanTable : public ::testing::TestWithParam<SignedCase> {};

TEST_P(SignedPlanTable, EndsAtASignedStateWithItsManifest) {
  const SignedCase& c = GetParam();
  const auto snapshot = MakeSignedSnapshot(c.major, c.minor, c.states);
  for (const auto code : {session::RequestFilesOnly, session::RequestNoticeAndFiles}) {
    const auto plan = PlanSession(snapshot, {code, c.installedMajor, c.installedMinor}, c.limits);
    EXPECT_EQ(Describe(plan), c.expected);
    EXPECT_EQ(plan.list.totalBytes, static_cast<std::int32_t>(c.totalBytes));
    std::uint64_t wire = 0;
    for (std::size_t i = 0; i < plan.SegmentCount(); ++i) {
      wire += plan.SegmentAt(i).bytes.size() + plan.SegmentAt(i).fileBytes;
    }
    EXPECT_EQ(plan.wireBytes, wire);
  }
}

// Files of 100 bytes; a manifest and its signature add 100 bytes.
INSTANTIATE_TEST_SUITE_P(
    Plans, SignedPlanTable,
    ::testing::Values(
        SignedCase{"FreshPlayerGetsTheNewestStateThenItsManifest",
                   {{"a", "b"}},
                   {{"x"}},
                   {{1, 0}, {1, 1}},
                   0,
                   0,
                   {},
                   "a:0 b:1 | x:1 Mirvale.manifest:1 Mirvale.manifest.minisig:1",
                   400},
        SignedCase{"ManifestFollowsTheMajorFilesWhenNoMinorFileIsSent",
                   {{"a"}, {"a", "b"}},
                   {},
                   {{1, 0}, {2, 0}},
                   1,
                   0,
                   {},
                   "a:1 b:2 Mirvale.manifest:2 Mirvale.manifest.minisig:2 |",
                   300},
        // Unsigned, the major file and the minor file both fit (200 bytes);
        // signed, state 1 0 is the furthest whose files and manifest fit.
        SignedCase{"CutSessionStopsAtTheLastSignedStateThatFits",
                   {{"a"}, {"a"}},
                   {{"x"}},
                   {{1, 0}, {1, 1}, {2, 1}},
                   0,
                   0,
                   {10, 250},
                   "a:1 Mirvale.manifest:1 Mirvale.manifest.minisig:1 |",
                   200},
        SignedCase{
            "StatesBeforeSigningAreNotStops", {{"a"}, {"b"}, {"c"}}, {}, {{3, 0}}, 0, 0, {10, 350}, "|", 0},
        SignedCase{"UpToDateGetsNoManifest", {{"a"}}, {{"x"}}, {{1, 0}, {1, 1}}, 1, 1, {}, "|", 0},
        SignedCase{
            "AheadInOneCounterGetsNothingThatLowersIt", {{"a"}}, {{"x"}}, {{1, 0}, {1, 1}}, 5, 0, {}, "|", 0},
        SignedCase{"BetweenStatesGoesOnToTheNextOne",
                   {{"a"}},
                   {{"x"}, {"y"}},
                   {{1, 0}, {1, 2}},
                   1,
                   1,
                   {},
                   "| y:2 Mirvale.manifest:2 Mirvale.manifest.minisig:2",
                   200}),
    [](const auto& info) { return std::string(info.param.name); });

/// The bytes an unsigned session sends, as the server sent them before
/// signed stores existed.
TEST(SessionPlan, UnsignedSessionBytesAreUnchanged) {
  auto snapshot = std::const_pointer_cast<server::Snapshot>(MakeSnapshot({{"a", "d\\b"}, {"a"}}, {{"x"}}));
  snapshot->notice = {1700000000, "notice/1700000000.html", 300};
  const auto plan = PlanSession(snapshot, {session::RequestNoticeAndFiles, 0, 0}, {10, 1u << 20});
  std::string wire;
  for (std::size_t i = 0; i < plan.SegmentCount(); ++i) {
    for (const std::uint8_t byte : plan.SegmentAt(i).bytes) {
      static const char kHex[] = "0123456789abcdef";
      wire += kHex[byte >> 4];
      wire += kHex[byte & 15];
    }
    wire += "<" + plan.SegmentAt(i).path + ":" + std::to_string(plan.SegmentAt(i).fileBytes) + ">";
  }
  EXPECT_EQ(wire,
            "2c010000<notice/1700000000.html:300>020001002c010000<:0>"
            "0e000000000064000000645c6200<major/1/files/d\\b.gz:100>"
            "0c0002000000640000006100<major/2/files/a.gz:100>"
            "0c0001000000640000007800<minor/1/files/x.gz:100>");
}

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

using StatePair = std::pair<std::uint32_t, std::uint32_t>;

/// The names a session from P to STATE sends, per kind: every name changed
/// after the player's version up to the state's.
std::array<std::set<std::string>, 2> NamesToSend(const History* histories[2], const Player& p,
                                                 const StatePair& state) {
  std::array<std::set<std::string>, 2> names;
  const std::uint32_t to[2] = {state.first, state.second};
  for (int kind = 0; kind < 2; ++kind) {
    for (std::uint32_t v = p.versions[kind] + 1; v <= to[kind]; ++v) {
      names[kind].insert((*histories[kind])[v - 1].begin(), (*histories[kind])[v - 1].end());
    }
  }
  return names;
}

/// Whether the session from P to the signed STATE, with its manifest, fits LIMITS.
bool SignedSessionFits(const History* histories[2], const Player& p, const StatePair& state,
                       const PlanLimits& limits) {
  const auto names = NamesToSend(histories, p, state);
  if (names[0].empty() && names[1].empty()) return true;
  const std::size_t last = names[1].empty() ? 0 : 1;
  return names[last].size() + 2 <= limits.maxFilesPerKind &&
         names[1 - last].size() <= limits.maxFilesPerKind &&
         100 * (names[0].size() + names[1].size()) + kManifestBytes + kSignatureBytes <= limits.maxTotalBytes;
}

bool AtOrAbove(const StatePair& state, const Player& p) {
  return state.first >= p.versions[0] && state.second >= p.versions[1];
}

/// In a signed store: a session that sends files ends at the furthest signed
/// state that fits, sends the copies of that state the player lacks, then
/// that state's manifest and signature; one that sends none has no state to go to.
::testing::AssertionResult EndsAtTheFurthestSignedState(const server::SessionPlan& plan, const Player& p,
                                                        const History* histories[2],
                                                        const PlanLimits& limits) {
  const auto& states = plan.snapshot->signedStates;
  const auto files = plan.Files();
  std::size_t end = states.size();  // none
  if (!files.empty()) {
    if (files.size() < 3 || plan.tailFiles.size() != 2) return ::testing::AssertionFailure() << "no manifest";
    const server::PlannedFile &manifest = files[files.size() - 2], &signature = files.back(),
                              &lastFile = files[files.size() - 3];
    for (end = 0; end < states.size() && manifest.file != &states[end].manifest; ++end) {
    }
    if (end == states.size() || signature.file != &states[end].signature ||
        manifest.file->name != "Mirvale.manifest" || signature.file->name != "Mirvale.manifest.minisig") {
      return ::testing::AssertionFailure() << "the last two files are not a signed state's manifest";
    }
    for (const auto* f : {&manifest, &signature}) {
      if (f->kind != lastFile.kind || f->version != lastFile.version) {
        return ::testing::AssertionFailure()
               << "manifest sent as kind " << f->kind << " version " << f->version;
      }
    }
    const StatePair state{states[end].counters[0], states[end].counters[1]};
    if (!AtOrAbove(state, p) || state == StatePair{p.versions[0], p.versions[1]} ||
        plan.reached[0] != state.first || plan.reached[1] != state.second) {
      return ::testing::AssertionFailure() << "ends at " << state.first << " " << state.second;
    }
    if (!SignedSessionFits(histories, p, state, limits))
      return ::testing::AssertionFailure() << "does not fit";
    // Exactly the names changed since the player's versions, each as the state has it.
    const Player atState = InstalledUpTo(histories, state.first, state.second);
    const auto names = NamesToSend(histories, p, state);
    std::set<std::string> sent[2];
    for (std::size_t i = 0; i + 2 < files.size(); ++i) {
      const auto& f = files[i];
      sent[f.kind].insert(f.file->name);
      if (atState.copies[f.kind].at(f.file->name) != f.copyVersion) {
        return ::testing::AssertionFailure() << f.file->name << " of version " << f.copyVersion << " sent";
      }
    }
    if (sent[0] != names[0] || sent[1] != names[1])
      return ::testing::AssertionFailure() << "other files sent";
    std::uint64_t total = 0;
    std::uint32_t counts[2] = {0, 0};
    for (const auto& f : files) {
      total += f.file->gzipBytes;
      ++counts[f.kind];
    }
    if (plan.list.totalBytes != static_cast<std::int32_t>(total) || plan.list.counts[0] != counts[0] ||
        plan.list.counts[1] != counts[1]) {
      return ::testing::AssertionFailure() << "the file list header does not count them";
    }
  }
  for (std::size_t later = files.empty() ? 0 : end + 1; later < states.size(); ++later) {
    const StatePair state{states[later].counters[0], states[later].counters[1]};
    if (AtOrAbove(state, p) && state != StatePair{p.versions[0], p.versions[1]} &&
        SignedSessionFits(histories, p, state, limits)) {
      return ::testing::AssertionFailure() << "state " << state.first << " " << state.second << " fits too";
    }
  }
  return ::testing::AssertionSuccess();
}

class SessionPlanProperty : public ::testing::TestWithParam<bool> {};

TEST_P(SessionPlanProperty, CutSessionsAlwaysEndInTheNewestRelease) {
  const bool signedStore = GetParam();
  std::mt19937 rng(20241208);
  int stuck = 0;
  for (int trial = 0; trial < 1500; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    History histories[2];
    const History* view[2] = {&histories[0], &histories[1]};
    std::vector<StatePair> states;  // after each publish
    auto publish = [&](int kind) {
      std::vector<std::string> names;
      const int count = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < count; ++i) {
        const std::string name = std::string(kind == 0 ? "m" : "n") + std::to_string(rng() % 8);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
      histories[kind].push_back(names);
      states.emplace_back(histories[0].size(), histories[1].size());
    };
    for (int kind = 0; kind < 2; ++kind) {
      for (int n = static_cast<int>(rng() % 9); n > 0; --n) publish(kind);
    }
    for (std::size_t i = 0, counts[2] = {0, 0}; i < states.size(); ++i) {
      // Rebuild a publishing order: a random interleaving of the two kinds.
      const int kind = counts[0] == histories[0].size()   ? 1
                       : counts[1] == histories[1].size() ? 0
                                                          : static_cast<int>(rng() % 2);
      ++counts[kind];
      states[i] = {static_cast<std::uint32_t>(counts[0]), static_cast<std::uint32_t>(counts[1])};
    }
    // The store is signed from a random publish on.
    const std::size_t signedFrom = rng() % (states.size() + 1);
    Player player = InstalledUpTo(view, static_cast<std::uint32_t>(rng() % (histories[0].size() + 1)),
                                  static_cast<std::uint32_t>(rng() % (histories[1].size() + 1)));
    // Tight limits make sessions end early on whole versions; every single
    // version still fits, as publishing guarantees, with a manifest too.
    PlanLimits limits;
    if (rng() % 3 == 0) {
      limits = signedStore ? PlanLimits{6 + static_cast<std::uint32_t>(rng() % 4), 600 + 100 * (rng() % 6)}
                           : PlanLimits{4 + static_cast<std::uint32_t>(rng() % 4), 400 + 100 * (rng() % 6)};
    }

    int publishes = static_cast<int>(rng() % 3);
    bool done = false, noWay = false;
    for (int session = 0; session < 200 && !done && !noWay; ++session) {
      if (publishes > 0 && rng() % 3 == 0) {
        publish(static_cast<int>(rng() % 2));
        --publishes;
      }
      const auto snapshot =
          signedStore
              ? MakeSignedSnapshot(
                    histories[0], histories[1],
                    {states.begin() + static_cast<std::ptrdiff_t>(std::min(signedFrom, states.size())),
                     states.end()})
              : MakeSnapshot(histories[0], histories[1]);
      const auto plan =
          PlanSession(snapshot, {session::RequestFilesOnly, player.versions[0], player.versions[1]}, limits);
      // Version fields never fall and end where the plan says.
      std::uint32_t last[2] = {player.versions[0], player.versions[1]};
      const auto files = plan.Files();
      for (const auto& f : files) {
        ASSERT_GE(f.version, last[f.kind]);
        last[f.kind] = f.version;
      }
      ASSERT_EQ(last[0], plan.reached[0]);
      ASSERT_EQ(last[1], plan.reached[1]);
      if (signedStore) {
        ASSERT_TRUE(EndsAtTheFurthestSignedState(plan, player, view, limits));
        noWay = files.empty() && publishes == 0;
      }

      const std::size_t cut = rng() % 2 == 0 ? files.size() : rng() % (files.size() + 1);
      for (std::size_t i = 0; i < cut; ++i) {
        const auto& f = files[i];
        if (i + plan.tailFiles.size() < files.size()) player.copies[f.kind][f.file->name] = f.copyVersion;
        player.versions[f.kind] = f.version;
        ASSERT_TRUE(ChangesInstalled(player, view)) << "after file " << i << " of " << cut;
      }
      done = publishes == 0 && player.versions[0] == histories[0].size() &&
             player.versions[1] == histories[1].size();
    }
    if (!done && noWay) {  // no signed state fits from where the player is (checked above)
      ++stuck;
      continue;
    }
    ASSERT_TRUE(done) << "no progress";
    const Player newest = InstalledUpTo(view, player.versions[0], player.versions[1]);
    EXPECT_EQ(player.copies[0], newest.copies[0]);
    EXPECT_EQ(player.copies[1], newest.copies[1]);
  }
  EXPECT_LT(stuck, 500) << "most players reach the newest state";
}

INSTANTIATE_TEST_SUITE_P(Stores, SessionPlanProperty, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Signed" : "Unsigned"; });

}  // namespace
