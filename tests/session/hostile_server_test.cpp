// What a hostile or careless server, an odd game folder or a full disk can
// do to a download, and what the game folder then holds. Each table row
// states the situation and what the player (or the folder) sees.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "files/file_helpers.h"
#include "files/testing/files_testing.h"
#include "files/version_file.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace testing_session;

namespace {

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// The version file's versions, or "absent".
std::string Versions() {
  files::FileVersionRecord record;
  if (files::ReadVersionFile(record) != files::VersionFileOutcome::Valid) return "absent";
  return std::to_string(record.major) + " " + std::to_string(record.minor);
}

}  // namespace

// The same name twice in one list: one download (the later body), listed once,
// so the installation does not fail on a second entry for it every time.
TEST_F(ScriptedSessionTest, ANameSentTwiceIsListedOnce) {
  Start();
  connection_.Send(Reply(1, 0));
  connection_.Send(Cat({FileList(3, 0, 12), File("a.dat", 1, Body(4, 1)), File("b.dat", 2, Body(4, 2)),
                        File("a.dat", 3, Body(4, 3))}));
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_EQ(outcome_.receivedNames, (std::vector<std::string>{"a.dat", "b.dat"}));
  EXPECT_EQ(ReadFile("a.dat.gz"), Text(Body(4, 3)));
  EXPECT_EQ(outcome_.versions[0], 3u);
}

// A disk that fills up or fails while the notice or a download is written:
// the player is told which file could not be made, the window ends, nothing
// half-written counts as received, and the installed game is as it was.
// Opens, writes and closes count from the first of the session: File.ver is
// read (open 1, close 1), then the notice written (open, write, close 2),
// then the first download (open 3, write 2, close 3).
struct DiskFault {
  const char* name;
  files::FileOp op;
  int nth;
  int error;
  const char* file;  // named in "Can't create file %s"
};
void PrintTo(const DiskFault& fault, std::ostream* out) { *out << fault.name; }

class DiskFaults : public ScriptedSessionTest, public ::testing::WithParamInterface<DiskFault> {};

TEST_P(DiskFaults, EndTheSessionWithTheFileNamedAndTheGameUntouched) {
  const DiskFault& fault = GetParam();
  WriteFile("a.dat", "installed");
  ASSERT_TRUE(files::WriteVersionFile(1, 0));
  files::testing::FailFileOp(fault.op, fault.nth, fault.error);
  Start();
  connection_.Send(Reply(2, 0, 0, 1700000000));
  connection_.Send(
      Cat({Notice("<p>n</p>"), FileList(2, 0, 6010), File("a.dat", 2, Body(6000)), File("b.dat", 2, Body(10))}));
  files::testing::ClearFileFaults();
  EXPECT_EQ(host_.cannotCreate, std::vector<std::string>{fault.file});
  EXPECT_TRUE(host_.ended);
  EXPECT_EQ(host_.collapses, 0);
  EXPECT_TRUE(outcome_.receivedNames.empty());
  EXPECT_EQ(ReadFile("a.dat"), "installed");
  EXPECT_EQ(Versions(), "1 0");
  EXPECT_TRUE(OutsideEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Session, DiskFaults,
    ::testing::Values(DiskFault{"NoticeWriteDiskFull", files::FileOp::Write, 1, ENOSPC, "Notice.html"},
                      DiskFault{"NoticeCloseIoError", files::FileOp::Close, 2, EIO, "Notice.html"},
                      DiskFault{"DownloadOpenIoError", files::FileOp::Open, 3, EIO, "a.dat.gz"},
                      DiskFault{"DownloadWriteDiskFull", files::FileOp::Write, 2, ENOSPC, "a.dat.gz"},
                      DiskFault{"DownloadCloseIoError", files::FileOp::Close, 3, EIO, "a.dat.gz"}),
    [](const ::testing::TestParamInfo<DiskFault>& info) { return std::string(info.param.name); });

// Links planted in the game folder: the notice and the downloads are written
// in the folder, in place of the link, never through it; what the links
// point at stays as it was (read-only or not), and nothing appears beside
// the folder. A folder that is a link (moved to another disk) is used.
TEST_F(ScriptedSessionTest, LinksInTheGameFolderAreNeverWrittenThrough) {
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside / "moved-data");
  WriteFile("../outside/victim", "keep me");
  WriteFile("../outside/readonly", "keep me too");
  chmod((outside / "readonly").c_str(), 0444);
  fs::create_symlink(outside / "victim", "Notice.html");
  fs::create_symlink(outside / "readonly", "a.dat.gz");
  fs::create_symlink(outside / "created-by-link", "new.dat.gz");  // points at nothing yet
  fs::create_symlink(outside / "moved-data", "data");
  Start();
  connection_.Send(Reply(1, 0, 0, 1700000000));
  connection_.Send(Cat({Notice("<p>n</p>"), FileList(3, 0, 12), File("a.dat", 1, Body(4, 1)),
                        File("new.dat", 1, Body(4, 2)), File("data\\c.dat", 1, Body(4, 3))}));
  EXPECT_EQ(host_.collapses, 1);
  EXPECT_EQ(ReadFile("../outside/victim"), "keep me");
  EXPECT_EQ(ReadFile("../outside/readonly"), "keep me too");
  EXPECT_EQ(fs::status(outside / "readonly").permissions() & fs::perms::all, fs::perms(0444));
  EXPECT_FALSE(fs::exists(outside / "created-by-link"));
  for (const char* name : {"Notice.html", "a.dat.gz", "new.dat.gz"}) {
    EXPECT_FALSE(fs::is_symlink(name)) << name;
  }
  EXPECT_EQ(ReadFile("Notice.html"), "<p>n</p>");
  EXPECT_EQ(ReadFile("a.dat.gz"), Text(Body(4, 1)));
  EXPECT_EQ(ReadFile("../outside/moved-data/c.dat.gz"), Text(Body(4, 3)));
}

// Something other than a file under a name the session reads or writes (a
// pipe, a folder): nothing waits on it. File.ver that is no file counts as
// absent; the notice or a download that cannot be a file is named.
struct OddEntry {
  const char* name;
  const char* path;
  bool pipe;           // a pipe, else a folder
  const char* file;    // named in "Can't create file %s", or "" when the session completes
};
void PrintTo(const OddEntry& entry, std::ostream* out) { *out << entry.name; }

class OddEntries : public ScriptedSessionTest, public ::testing::WithParamInterface<OddEntry> {};

TEST_P(OddEntries, NeitherBlockNorPassForFiles) {
  const OddEntry& entry = GetParam();
  ASSERT_EQ(entry.pipe ? mkfifo(entry.path, 0644) : mkdir(entry.path, 0755), 0);
  Start();
  connection_.Send(Reply(1, 0, 0, 1700000000));
  const Bytes request = connection_.TakeSent();
  connection_.Send(Cat({Notice("<p>n</p>"), FileList(1, 0, 4), File("a.dat", 1, Body(4))}));
  if (entry.file[0] == '\0') {
    EXPECT_EQ(host_.collapses, 1);
    EXPECT_EQ(request, (Bytes{0x41, 0, 0, 0, 0, 0, 0, 0, 0})) << "installed versions 0 0";
  } else {
    EXPECT_EQ(host_.cannotCreate, std::vector<std::string>{entry.file});
    EXPECT_TRUE(host_.ended);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Session, OddEntries,
    ::testing::Values(OddEntry{"VersionFilePipe", "File.ver", true, ""},
                      OddEntry{"VersionFileFolder", "File.ver", false, ""},
                      OddEntry{"NoticePipe", "Notice.html", true, "Notice.html"},
                      OddEntry{"NoticeFolder", "Notice.html", false, "Notice.html"},
                      OddEntry{"DownloadPipe", "a.dat.gz", true, "a.dat.gz"}),
    [](const ::testing::TestParamInfo<OddEntry>& info) { return std::string(info.param.name); });

// Names as a game run through a case-blind layer expects them: each part of
// a received name takes the spelling the folder already has, an exact match
// winning; a name that matches nothing is made as spelled.
TEST_F(ScriptedSessionTest, NamesTakeTheFoldersSpellingOfLetterCase) {
  fs::create_directories("data/maps");
  WriteFile("data/maps/track.map", "old");
  WriteFile("Readme.txt", "exact");
  WriteFile("readme.txt", "other case");
  Start();
  connection_.Send(Reply(1, 0));
  connection_.Send(Cat({FileList(3, 0, 12), File("DATA\\Maps\\TRACK.map", 1, Body(4, 1)),
                        File("Readme.txt", 1, Body(4, 2)), File("New\\Thing.DAT", 1, Body(4, 3))}));
  EXPECT_EQ(outcome_.receivedNames,
            (std::vector<std::string>{"data\\maps\\track.map", "Readme.txt", "New\\Thing.DAT"}));
  EXPECT_EQ(WorkFiles(), (std::vector<std::string>{"New/Thing.DAT.gz", "Readme.txt", "Readme.txt.gz",
                                                    "data/maps/track.map", "data/maps/track.map.gz",
                                                    "readme.txt"}));
}
