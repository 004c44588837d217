// The release store: names refused at publish, notice stamps, damaged stores,
// and publishing that is atomic whatever step it is stopped at.

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>

#include "server/publish.h"
#include "server/release_store.h"
#include "server/session_plan.h"
#include "store_builder.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"

namespace fs = std::filesystem;
using server::Publish;
using server::PublishStep;
using server_test::Files;
using server_test::MakeFolder;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

// ---- names ------------------------------------------------------------------

struct NameCase {
  const char* label;
  std::string name;
  const char* reason;  // nullptr: accepted
};

class PublishName : public ::testing::TestWithParam<NameCase> {};

TEST_P(PublishName, FollowsTheUpdatersRule) {
  const NameCase& c = GetParam();
  const char* reason = server::CheckPublishName(c.name);
  if (c.reason == nullptr) {
    EXPECT_EQ(reason, nullptr) << reason;
  } else {
    ASSERT_NE(reason, nullptr);
    EXPECT_NE(std::string(reason).find(c.reason), std::string::npos) << reason;
  }
}

/// "d...d\f...f": a folder of 100 bytes holding a file of FILE bytes.
std::string InFolder(std::size_t file) { return std::string(100, 'd') + "\\" + std::string(file, 'f'); }

INSTANTIATE_TEST_SUITE_P(
    Names, PublishName,
    ::testing::Values(
        NameCase{"Plain", "Mirvale.exe", nullptr}, NameCase{"InFolders", "data\\maps\\track01.map", nullptr},
        NameCase{"KoreanBytes", "data\\\xEC\x9D\xB8\xED\x8A\xB8\xEB\xA1\x9C.txt", nullptr},
        NameCase{"LongestThatInstalls", InFolder(152), nullptr},
        NameCase{"LongestFileNameThatInstalls", std::string(248, 'x') + ".dat", nullptr},
        NameCase{"OneByteOverWhatInstalls", InFolder(153), "longer than 253 bytes"},
        NameCase{"FileNameOneByteOverWhatInstalls", std::string(249, 'x') + ".dat", "longer than 252 bytes"},
        NameCase{"Exactly255Bytes", std::string(251, 'x') + ".dat", "longer than 253 bytes"},
        NameCase{"Empty", "", "empty"}, NameCase{"Over255Bytes", std::string(252, 'x') + ".dat", "255"},
        NameCase{"Absolute", "\\Windows\\a.dll", "absolute"}, NameCase{"Drive", "C:game.exe", "drive"},
        NameCase{"ParentFolder", "data\\..\\..\\a.dll", ".."},
        NameCase{"ControlCharacter", "a\tb.txt", "control"},
        NameCase{"WindowsRefusesIt", "what?.txt", "Windows"}, NameCase{"ForwardSlash", "data/a.txt", "'/'"},
        NameCase{"EmptyFolderName", "data\\\\a.txt", "empty folder"}, NameCase{"DeviceName", "CON", "device"},
        NameCase{"DeviceNameWithNumber", "LPT1", "device"},
        NameCase{"DeviceNameWithExtension", "aux.txt", "device"},
        NameCase{"DeviceNameInLowerCase", "nul.dat", "device"},
        NameCase{"DeviceNameInFolder", "data\\COM1.ini", "device"},
        NameCase{"DeviceNameAsFolder", "Prn\\readme.txt", "device"},
        NameCase{"DeviceNameBeforeABlank", "com9 .log", "device"},
        NameCase{"DeviceNameWithSuperscriptDigit", "LPT\xC2\xB9.txt", "device"},
        NameCase{"MoreThanADeviceName", "CONSOLE.dat", nullptr},
        NameCase{"NoSuchDevice", "COM10.ini", nullptr},
        NameCase{"TrailingDot", "readme.", "ending in '.' or a blank"},
        NameCase{"TrailingBlank", "readme.txt ", "ending in '.' or a blank"},
        NameCase{"FolderWithTrailingDot", "data.\\a.txt", "ending in '.' or a blank"},
        NameCase{"FolderWithTrailingBlank", "data \\a.txt", "ending in '.' or a blank"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- refused folders leave the store as it was ------------------------------

class StoreTest : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name, const Files& files) {
    const std::string dir = dir_ / name;
    MakeFolder(dir, files);
    return dir;
  }
  /// Every path and file content below the store: what "unchanged" means.
  Files StoreContents() const { return server_test::ReadFolder(store_); }

  TempDir dir_;
  const std::string store_ = dir_ / "store";
};

struct RefusalCase {
  const char* label;
  int kind;
  std::function<void(const std::string& dir)> make;
  std::string name;    // the refused name as reported
  const char* reason;  // part of the reason
};

class PublishRefusal : public StoreTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PublishRefusal, NamesTheFileAndChangesNothing) {
  const RefusalCase& c = GetParam();
  Publish(store_, 0, Folder("first", {{"shared.dat", "1"}, {"ok.txt", "2"}, {"\xC3\x89t\xC3\xA9.dat", "3"}}));
  MakeFolder(dir_ / "secret", {{"password.txt", "hunter2"}});
  const Files before = StoreContents();
  const std::string dir = Folder("next", {{"fine.txt", "fine"}});
  c.make(dir);
  try {
    Publish(store_, c.kind, dir);
    FAIL() << "published";
  } catch (const server::PublishRefused& e) {
    ASSERT_EQ(e.refusals.size(), 1u) << e.what();
    EXPECT_EQ(e.refusals[0].name, c.name);
    EXPECT_NE(e.refusals[0].reason.find(c.reason), std::string::npos) << e.refusals[0].reason;
    EXPECT_NE(std::string(e.what()).find("nothing was published"), std::string::npos);
  }
  EXPECT_EQ(StoreContents(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, PublishRefusal,
    ::testing::Values(
        RefusalCase{"SameNameApartFromCase", 0,
                    [](const std::string& d) {
                      MakeFolder(d, {{"FINE.TXT", "x"}});
                    },
                    "fine.txt", "letter case"},
        RefusalCase{"BackslashInsideAName", 0,
                    [](const std::string& d) {
                      MakeFolder(d, {{"a\\b.txt", "x"}});
                    },
                    "a\\b.txt", "'\\'"},
        RefusalCase{"ControlCharacter", 0,
                    [](const std::string& d) {
                      MakeFolder(d, {{"tab\there.txt", "x"}});
                    },
                    "tab\there.txt", "control"},
        RefusalCase{"CharacterWindowsRefuses", 1,
                    [](const std::string& d) {
                      MakeFolder(d, {{"what?.txt", "x"}});
                    },
                    "what?.txt", "Windows"},
        RefusalCase{"LinkToAFolder", 0,
                    [](const std::string& d) {
                      fs::create_directory(d + "/../elsewhere");
                      fs::create_directory_symlink(d + "/../elsewhere", d + "/link");
                    },
                    "link", "link to a folder"},
        RefusalCase{"NotARegularFile", 0,
                    [](const std::string& d) { ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0600), 0); }, "pipe",
                    "not a regular file"},
        RefusalCase{"NameOfTheOtherKind", 1,
                    [](const std::string& d) {
                      MakeFolder(d, {{"SHARED.DAT", "x"}});
                    },
                    "SHARED.DAT", "already published as a major file"},
        RefusalCase{"NameOfTheOtherKindBeyondAscii", 1,
                    [](const std::string& d) {
                      MakeFolder(d, {{"\xC3\xA9T\xC3\xA9.DAT", "x"}});
                    },
                    "\xC3\xA9T\xC3\xA9.DAT", "already published as a major file"},
        RefusalCase{"SameNameApartFromCaseBeyondAscii", 0,
                    [](const std::string& d) {
                      MakeFolder(d, {{"\xC3\x89t\xC3\xA9.dat", "x"}, {"\xC3\xA9t\xC3\xA9.dat", "y"}});
                    },
                    "\xC3\xA9t\xC3\xA9.dat", "same name as \xC3\x89t\xC3\xA9.dat apart from letter case"},
        RefusalCase{"LinkToAFileOutside", 0,
                    [](const std::string& d) {
                      fs::create_symlink(fs::canonical(d + "/../secret/password.txt"), d + "/config.txt");
                    },
                    "config.txt", "password.txt, outside the folder"},
        RefusalCase{
            "RelativeLinkOutside", 0,
            [](const std::string& d) { fs::create_symlink("../secret/password.txt", d + "/config.txt"); },
            "config.txt", "link to ../secret/password.txt ("},
        RefusalCase{"LinkToTheProcessEnvironment", 0,
                    [](const std::string& d) { fs::create_symlink("/proc/self/environ", d + "/env.txt"); },
                    "env.txt", "link to /proc/self/environ ("}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(StoreTest, PathOver255BytesIsRefused) {
  const std::string longName = std::string(200, 'd') + "/" + std::string(60, 'f');
  const std::string dir = Folder("long", {{longName, "x"}});
  try {
    Publish(store_, 0, dir);
    FAIL() << "published";
  } catch (const server::PublishRefused& e) {
    ASSERT_EQ(e.refusals.size(), 1u);
    EXPECT_EQ(e.refusals[0].name, std::string(200, 'd') + "\\" + std::string(60, 'f'));
  }
  EXPECT_FALSE(fs::exists(store_ + "/major"));
}

TEST_F(StoreTest, LinksToFilesInsideTheFolderArePublishedWithTheirContent) {
  const std::string dir = Folder("links", {{"data/real.dat", "real"}});
  fs::create_symlink("data/real.dat", dir + "/relative.dat");
  fs::create_symlink(fs::canonical(dir + "/data/real.dat"), dir + "/data/absolute.dat");
  fs::create_symlink("relative.dat", dir + "/chained.dat");
  const auto result = Publish(store_, 0, dir);
  ASSERT_EQ(result.release->files.size(), 4u);
  for (const server::StoredFile& f : result.release->files) {
    EXPECT_EQ(testdata::gunzip_members(ReadFile(store_ + "/" + f.path)), "real") << f.name;
  }
}

TEST_F(StoreTest, FileTurnedIntoALinkAfterTheScanIsNotRead) {
  WriteFile(dir_ / "secret.txt", "hunter2");
  const std::string dir = Folder("swapped", {{"a.dat", "a"}, {"b.dat", "b"}});
  server::PublishOptions options;
  options.onStep = [&](PublishStep step) {
    if (step != PublishStep::Locked) return;
    fs::remove(dir + "/b.dat");
    fs::create_symlink(dir_ / "secret.txt", dir + "/b.dat");
  };
  try {
    Publish(store_, 0, dir, options);
    FAIL() << "published";
  } catch (const server::StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("b.dat: became a link since the folder was read"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(fs::exists(store_ + "/major"));
}

TEST_F(StoreTest, EmptyFolderIsRefused) {
  fs::create_directories(dir_ / "empty/sub");
  EXPECT_THROW(Publish(store_, 0, dir_ / "empty"), server::StoreError);
  EXPECT_THROW(Publish(store_, 0, dir_ / "missing"), server::StoreError);
}

TEST_F(StoreTest, PublishStoresEveryFileOnceAsGzipAndCountsVersionsPerKind) {
  const Files first = {
      {"Mirvale.exe", std::string(5000, 'M')}, {"data/maps/a.map", "map"}, {"empty.txt", ""}};
  auto r1 = Publish(store_, 0, Folder("one", first));
  auto r2 = Publish(store_, 1, Folder("two", {{"patch.dat", "p"}}));
  auto r3 = Publish(store_, 0, Folder("three", {{"data/maps/a.map", "map 2"}}));
  EXPECT_EQ(r1.release->version, 1u);
  EXPECT_EQ(r2.release->version, 1u);
  EXPECT_EQ(r3.release->version, 2u);

  const auto snapshot = server::LoadSnapshot(store_);
  EXPECT_EQ(snapshot->Counter(0), 2u);
  EXPECT_EQ(snapshot->Counter(1), 1u);
  const server::Release& one = *snapshot->releases[0][0];
  ASSERT_EQ(one.files.size(), 3u);
  EXPECT_EQ(one.files[0].name, "Mirvale.exe");
  EXPECT_EQ(one.files[1].name, "data\\maps\\a.map");
  EXPECT_EQ(one.files[2].name, "empty.txt");
  for (const server::StoredFile& f : one.files) {
    const std::string stream = ReadFile(store_ + "/" + f.path);
    EXPECT_EQ(stream.size(), f.gzipBytes);
    std::string original = f.name;
    std::replace(original.begin(), original.end(), '\\', '/');
    EXPECT_EQ(testdata::gunzip_members(stream), first.at(original)) << f.name;
  }
  EXPECT_LT(one.files[0].gzipBytes, 100u);  // 5,000 equal bytes
  EXPECT_FALSE(fs::exists(store_ + "/tmp"));
}

TEST_F(StoreTest, NotesForNamesTheUpdaterStoresElsewhere) {
  const auto result = Publish(store_, 0, Folder("one", {{"Update.exe", "u"}, {"File.ver", "v"}}));
  ASSERT_EQ(result.notes.size(), 2u);
  EXPECT_NE(result.notes[0].find("null.dat"), std::string::npos);
  EXPECT_NE(result.notes[1].find("Update0.exe"), std::string::npos);
}

// ---- the notice -------------------------------------------------------------

struct StampCase {
  const char* label;
  std::vector<std::int64_t> sets;  // -1 removes the notice
  std::int32_t expected;           // stamp given by the last set
};

class NoticeStamp : public StoreTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(NoticeStamp, IsNowAndAtLeastTwoSecondsAfterThePrevious) {
  WriteFile(dir_ / "notice.html", "<p>\xEA\xB3\xB5\xEC\xA7\x80</p>");
  std::int32_t stamp = 0;
  for (std::int64_t now : GetParam().sets) {
    if (now < 0) {
      server::ClearNotice(store_);
    } else {
      stamp = server::SetNotice(store_, dir_ / "notice.html", now);
    }
  }
  EXPECT_EQ(stamp, GetParam().expected);
  const auto snapshot = server::LoadSnapshot(store_);
  EXPECT_EQ(snapshot->notice.stamp, stamp);
  EXPECT_EQ(ReadFile(store_ + "/" + snapshot->notice.path), ReadFile(dir_ / "notice.html"));
}

INSTANTIATE_TEST_SUITE_P(Stamps, NoticeStamp,
                         ::testing::Values(StampCase{"FirstTakesNow", {1000}, 1000},
                                           StampCase{"SameSecondMovesTwoAhead", {1000, 1000}, 1002},
                                           StampCase{"NextSecondStillTwoAhead", {1000, 1001}, 1002},
                                           StampCase{"LaterTimeTakesNow", {1000, 1500}, 1500},
                                           StampCase{"ClockGoneBackStillAdvances", {1000, 900}, 1002},
                                           StampCase{"AfterRemovalStillAdvances", {1000, -1, 1000}, 1002}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- the time of CURRENT ----------------------------------------------------

/// A change of the state in force, made twice in a row on a store holding
/// one major release.
struct StateChangeCase {
  const char* label;
  std::function<void(const std::string& store, const std::string& dir)> change;
  int aheadSeconds;  // CURRENT's time is first set this far past the clock
};

class StateFileTime : public StoreTest, public ::testing::WithParamInterface<StateChangeCase> {};

/// Copies compare files by size and whole-second time: each new CURRENT must
/// differ from the one it replaces in that time even when both are written
/// within one second.
TEST_P(StateFileTime, IsInALaterWholeSecondThanTheFileItReplaces) {
  const StateChangeCase& c = GetParam();
  Publish(store_, 0, Folder("one", {{"a.dat", "a"}}));
  WriteFile(dir_ / "notice.html", "<p>n</p>");
  const std::string current = store_ + "/CURRENT";
  auto seconds = [&] {
    struct stat st {};
    EXPECT_EQ(::stat(current.c_str(), &st), 0);
    return st.st_mtim.tv_sec;
  };
  if (c.aheadSeconds != 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + c.aheadSeconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, current.c_str(), times, 0), 0);
  }
  for (int round = 0; round < 2; ++round) {
    const auto before = seconds();
    c.change(store_, dir_.path());
    EXPECT_GT(seconds(), before) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, StateFileTime,
    ::testing::Values(StateChangeCase{"Publish",
                                      [](const std::string& store, const std::string& dir) {
                                        MakeFolder(dir + "/next", {{"a.dat", "b"}});
                                        Publish(store, 0, dir + "/next");
                                      },
                                      0},
                      StateChangeCase{"SetNotice",
                                      [](const std::string& store, const std::string& dir) {
                                        server::SetNotice(store, dir + "/notice.html", std::time(nullptr));
                                      },
                                      0},
                      StateChangeCase{"PublishWithTheClockBehindTheStore",
                                      [](const std::string& store, const std::string& dir) {
                                        MakeFolder(dir + "/next", {{"a.dat", "c"}});
                                        Publish(store, 0, dir + "/next");
                                      },
                                      3600}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- damaged stores are refused, naming the file ----------------------------

struct DamageCase {
  const char* label;
  std::function<void(const std::string& store)> damage;
  const char* message;
};

class DamagedStore : public StoreTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedStore, IsRefusedWithTheReason) {
  Publish(store_, 0, Folder("one", {{"data/a.dat", "a"}}));
  WriteFile(dir_ / "n.html", "n");
  server::SetNotice(store_, dir_ / "n.html", 1000);
  GetParam().damage(store_);
  try {
    server::LoadSnapshot(store_);
    FAIL() << "loaded";
  } catch (const server::StoreError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedStore,
    ::testing::Values(
        DamageCase{"StoredFileMissing",
                   [](const std::string& s) { fs::remove(s + "/major/1/files/data/a.dat.gz"); },
                   "major/1/files/data/a.dat.gz"},
        DamageCase{"StoredFileOfAnotherSize",
                   [](const std::string& s) { WriteFile(s + "/major/1/files/data/a.dat.gz", "xx"); },
                   "the manifest says"},
        DamageCase{"ManifestLineDamaged",
                   [](const std::string& s) { WriteFile(s + "/major/1/manifest", "file x y a\n"); },
                   "manifest:1: bad sizes"},
        DamageCase{"ReleaseFolderMissing", [](const std::string& s) { fs::remove_all(s + "/major/1"); },
                   "major/1/manifest"},
        DamageCase{"UnknownStateFormat",
                   [](const std::string& s) { WriteFile(s + "/CURRENT", "format 2\n"); },
                   "unknown store format"},
        DamageCase{"NoticePageMissing", [](const std::string& s) { fs::remove(s + "/notice/1000.html"); },
                   "notice/1000.html"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- atomic publishing ------------------------------------------------------

/// Publishes DIR in a child process that kills itself at the STOPAT-th step
/// (counting from 1); returns true when the child was killed there.
bool PublishKilledAt(const std::string& store, const std::string& dir, int stopAt) {
  const pid_t child = fork();
  if (child == 0) {
    int steps = 0;
    server::PublishOptions options;
    options.jobs = 1;
    options.onStep = [&](PublishStep) {
      if (++steps == stopAt) raise(SIGKILL);
    };
    try {
      Publish(store, 0, dir, options);
    } catch (...) {
      _exit(3);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST_F(StoreTest, PublishKilledAtAnyStepLeavesThePreviousOrTheNewState) {
  Publish(store_, 0, Folder("one", {{"a.dat", "old a"}, {"b.dat", "old b"}}));
  const std::string next = Folder("two", {{"a.dat", "new a"}, {"c/d.dat", "new d"}, {"e.dat", "e"}});
  // Locked, three files, manifest, placed, state written, committed.
  const int steps = 1 + 3 + 4;
  for (int stopAt = 1; stopAt <= steps; ++stopAt) {
    SCOPED_TRACE("killed at step " + std::to_string(stopAt));
    TempDir copy;
    fs::copy(store_, copy.path() + "/store", fs::copy_options::recursive);
    const std::string store = copy.path() + "/store";
    ASSERT_TRUE(PublishKilledAt(store, next, stopAt));

    const auto snapshot = server::LoadSnapshot(store);
    const bool committed = stopAt == steps;
    ASSERT_EQ(snapshot->Counter(0), committed ? 2u : 1u);
    const auto plan = server::PlanSession(snapshot, {session::RequestFilesOnly, 0, 0});
    for (const auto& f : plan.Files()) {
      EXPECT_TRUE(fs::exists(store + "/" + f.file->path)) << f.file->path;
    }
    // The next publish clears what was left and numbers on from the state in force.
    const auto again = Publish(store, 0, Folder("three-" + std::to_string(stopAt), {{"f", "f"}}));
    EXPECT_EQ(again.release->version, committed ? 3u : 2u);
    EXPECT_FALSE(fs::exists(store + "/tmp"));
    EXPECT_FALSE(fs::exists(store + "/CURRENT.new"));
    EXPECT_EQ(fs::exists(store + "/major/3"), committed);
  }
}

TEST_F(StoreTest, SecondPublisherIsTurnedAwayWhileOneRuns) {
  Publish(store_, 0, Folder("one", {{"a", "a"}}));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    server::PublishOptions options;
    options.onStep = [&](PublishStep step) {
      if (step == PublishStep::Locked) {
        [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
        pause();
      }
    };
    Publish(store_, 0, dir_ / "one", options);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  try {
    Publish(store_, 0, dir_ / "one");
    ADD_FAILURE() << "published beside a running publish";
  } catch (const server::StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("another publish"), std::string::npos) << e.what();
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
