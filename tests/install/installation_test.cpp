// The installation of received files without a window, with the engine whose
// fatal end a test can catch: what it installs, what it leaves in the list
// for the next run, when File.ver changes, and what it leaves in the game
// folder besides the installed files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "files/version_file.h"
#include "install/installation.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"
#include "testing/engine_testing.h"

namespace {

namespace fs = std::filesystem;
using install::InstallResult;
using Outcome = install::InstallResult::Outcome;
using Names = std::vector<std::string>;

/// What a received ".gz" holds.
enum class Download { Good, NotGzip, BadCrc };

struct Received {
  const char* name;  ///< as the session lists it, '\'-separated
  Download download;
};

std::string HostName(std::string name) {
  for (char& c : name) c = c == '\\' ? '/' : c;
  return name;
}

std::string PlainOf(const std::string& name) { return "the new " + name; }

void WriteDownload(const Received& r) {
  std::string gz = testdata::gzip_of(PlainOf(r.name));
  if (r.download == Download::NotGzip) gz = "not gzip at all";
  if (r.download == Download::BadCrc) gz[gz.size() - 6] ^= 0xFF;  // inside the CRC
  const std::string host = HostName(r.name);
  if (host.find('/') != std::string::npos) fs::create_directories(fs::path(host).parent_path());
  test_support::WriteFile(host + ".gz", gz);
}

/// The versions File.ver records, "major minor", or why it records none.
std::string RecordedVersions() {
  files::FileVersionRecord record;
  if (files::ReadVersionFile(record) != files::VersionFileOutcome::Valid) return "none";
  return std::to_string(record.major) + " " + std::to_string(record.minor);
}

struct EngineEnded {
  int status;
};

/// One installation of what the session received, as the window's worker
/// runs it; a fatal end of the engine shows as ENDED instead of ending the
/// test process (the half-written output is removed first, as in the product).
struct InstallRun {
  InstallResult result;
  Names installed;  ///< as reported one by one
  bool ended = false;
  int status = 0;
};

InstallRun Install(Names& received, std::uint32_t major = 3, std::uint32_t minor = 2) {
  InstallRun run;
  engine::end_process_hook = [](int status) { throw EngineEnded{status}; };
  testing::internal::CaptureStderr();
  try {
    run.result = install::InstallReceivedFiles(
        received, major, minor, [&run](const std::string& name) { run.installed.push_back(name); });
  } catch (const EngineEnded& e) {
    run.ended = true;
    run.status = e.status;
  }
  testing::internal::GetCapturedStderr();
  engine::end_process_hook = nullptr;
  return run;
}

struct Case {
  const char* what;
  std::vector<Received> received;
  Outcome outcome;
  const char* failedName;
  Names installed;  ///< in the order reported
  Names left;       ///< the list afterwards, where a next run starts
  const char* versions;
  bool ended = false;  ///< the engine ended the process (status 1)
};

// Every run starts with File.ver at "1 0" and the session having reached "3 2".
const Case kCases[] = {
    {"every file installed, then File.ver",
     {{"one.dat", Download::Good}, {"data\\two.dat", Download::Good}},
     Outcome::Installed,
     "",
     {"one.dat", "data\\two.dat"},
     {},
     "3 2"},
    {"nothing received changes nothing", {}, Outcome::Nothing, "", {}, {}, "1 0"},
    {"the server's File.ver (null.dat) is never installed, in any letter case",
     {{"NULL.Dat", Download::Good}, {"one.dat", Download::Good}, {"null.dat", Download::Good}},
     Outcome::Installed,
     "",
     {"one.dat"},
     {},
     "3 2"},
    {"a failure keeps the failed file and those after it",
     {{"one.dat", Download::Good}, {"two.dat", Download::NotGzip}, {"three.dat", Download::Good}},
     Outcome::DecompressFailed,
     "two.dat.gz",
     {"one.dat"},
     {"two.dat", "three.dat"},
     "1 0"},
    {"a failing first file keeps the whole list",
     {{"one.dat", Download::NotGzip}, {"two.dat", Download::Good}},
     Outcome::DecompressFailed,
     "one.dat.gz",
     {},
     {"one.dat", "two.dat"},
     "1 0"},
    {"a failing last file keeps only itself",
     {{"one.dat", Download::Good}, {"two.dat", Download::NotGzip}},
     Outcome::DecompressFailed,
     "two.dat.gz",
     {"one.dat"},
     {"two.dat"},
     "1 0"},
    {"corrupt data ends the process before File.ver changes",
     {{"one.dat", Download::Good}, {"two.dat", Download::BadCrc}, {"three.dat", Download::Good}},
     Outcome::Nothing,
     "",
     {"one.dat"},
     {"one.dat", "two.dat", "three.dat"},
     "1 0",
     true},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class Installing : public ::testing::TestWithParam<Case> {};

TEST_P(Installing, InstallsInOrderAndKeepsWhatIsLeft) {
  const Case& c = GetParam();
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  ASSERT_TRUE(files::WriteVersionFile(1, 0));
  Names received;
  for (const Received& r : c.received) {
    WriteDownload(r);
    received.push_back(r.name);
  }

  const InstallRun run = Install(received);

  EXPECT_EQ(run.ended, c.ended);
  if (c.ended) {
    EXPECT_EQ(run.status, 1);
  } else {
    EXPECT_EQ(run.result.installed, static_cast<int>(c.installed.size()));
  }
  EXPECT_EQ(run.result.outcome, c.outcome);
  EXPECT_EQ(run.result.failedName, c.failedName);
  EXPECT_EQ(run.installed, c.installed);
  EXPECT_EQ(received, c.left);
  EXPECT_EQ(RecordedVersions(), c.versions);
  for (const Received& r : c.received) {
    const std::string host = HostName(r.name);
    const bool installed = std::find(c.installed.begin(), c.installed.end(), r.name) != c.installed.end();
    // An installed file replaces its download; any other keeps its download
    // and gets no file of its name.
    EXPECT_EQ(fs::exists(host + ".gz"), !installed) << r.name;
    if (installed) {
      EXPECT_EQ(test_support::ReadFile(host), PlainOf(r.name)) << r.name;
    } else {
      EXPECT_FALSE(fs::exists(host)) << r.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Installing, ::testing::ValuesIn(kCases));

// The next run after a failure (the window's second chance on its way out)
// starts at the file that failed: the files before it are never named again.
TEST(Installation, RetryStartsAtTheFileThatFailed) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  Names received;
  received = {"one.dat", "two.dat", "three.dat"};
  WriteDownload({"one.dat", Download::Good});
  WriteDownload({"two.dat", Download::NotGzip});
  WriteDownload({"three.dat", Download::Good});
  ASSERT_EQ(Install(received).result.outcome, Outcome::DecompressFailed);

  WriteDownload({"two.dat", Download::Good});
  const InstallRun retry = Install(received);
  EXPECT_EQ(retry.result.outcome, Outcome::Installed);
  EXPECT_EQ(retry.installed, (Names{"two.dat", "three.dat"}));
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(RecordedVersions(), "3 2");
  EXPECT_TRUE(Install(received).installed.empty()) << "a third run finds nothing left";
}

// Every file installed but File.ver cannot be written: the list is done
// with all the same, and the failure is the one the player is shown.
TEST(Installation, AVersionFileThatCannotBeWrittenIsTheFailure) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  fs::create_directory("File.ver");
  Names received;
  received = {"one.dat"};
  WriteDownload({"one.dat", Download::Good});
  const InstallRun run = Install(received);
  EXPECT_EQ(run.result.outcome, Outcome::VersionFileFailed);
  EXPECT_EQ(run.result.FailureText(), "Can't create File.ver");
  EXPECT_EQ(run.installed, Names{"one.dat"});
  EXPECT_TRUE(received.empty());
}

enum class Kind { File, Folder, Link };

struct Planted {
  const char* name;  ///< below the game folder, '/'-separated
  Kind kind;
  bool stays;
};

// Interrupted installations leave the engine's temporary files (".decompress-"
// and six letters or digits) beside the files they were for. Those go when an
// installation starts, in every folder it writes into; nothing else does.
const Planted kPlanted[] = {
    {".decompress-a1B2c3", Kind::File, false},
    {".decompress-zzzzzz", Kind::File, false},
    {"data/.decompress-000000", Kind::File, false},
    {"data/deep/.decompress-Q9x8W7", Kind::File, false},
    // Not ours, or not a file.
    {".decompress-lnk123", Kind::Link, true},
    {".decompress-dir123", Kind::Folder, true},
    {".decompress-abc12", Kind::File, true},
    {".decompress-abc1234", Kind::File, true},
    {".decompress-abc12!", Kind::File, true},
    {".decompress-abc12\xc3\xa9", Kind::File, true},
    {".Decompress-abc123", Kind::File, true},
    {"x.decompress-abc123", Kind::File, true},
    {".decompress-abc123.gz", Kind::File, true},
    // A folder the installation does not write into.
    {"other/.decompress-abc123", Kind::File, true},
};

/// Whether this system can plant P: Wine makes no symbolic links, and a
/// Windows program's byte names go through the code page (a name beyond
/// ASCII may not come back as written).
bool Plantable(const Planted& p) {
#ifdef _WIN32
  if (p.kind == Kind::Link) return false;
  for (const char* c = p.name; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) >= 0x80) return false;
  }
#endif
  (void)p;
  return true;
}

TEST(Installation, RemovesOnlyTheEnginesLeftoversWhereItWrites) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  fs::create_directories("data/deep");
  fs::create_directories("other");
  test_support::WriteFile(dir / "outside.txt", "not to be touched");
  for (const Planted& p : kPlanted) {
    if (!Plantable(p)) continue;
    switch (p.kind) {
      case Kind::File:
        test_support::WriteFile(p.name, "half a file");
        break;
      case Kind::Folder:
        fs::create_directory(p.name);
        break;
      case Kind::Link:
        fs::create_symlink(dir / "outside.txt", p.name);
        break;
    }
  }
  Names received = {"one.dat", "data\\two.dat", "data\\deep\\three.dat"};
  for (const std::string& name : received) WriteDownload({name.c_str(), Download::Good});

  EXPECT_EQ(Install(received, 2, 1).result.outcome, Outcome::Installed);
  for (const std::string& name : received) {
    EXPECT_EQ(test_support::ReadFile(HostName(name)), PlainOf(name)) << name;
  }
  for (const Planted& p : kPlanted) {
    if (!Plantable(p)) continue;
    EXPECT_EQ(fs::exists(fs::symlink_status(p.name)), p.stays) << p.name;
  }
  EXPECT_EQ(test_support::ReadFile(dir / "outside.txt"), "not to be touched");
  EXPECT_EQ(RecordedVersions(), "2 1");
}

#ifndef _WIN32
// A folder that is a link is not cleaned through, even when the installation
// writes into it: what lies behind it belongs to whoever made the link.
TEST(Installation, DoesNotCleanThroughAFolderLink) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  fs::create_directory("elsewhere");
  fs::create_directory_symlink("elsewhere", "linked");
  test_support::WriteFile("elsewhere/.decompress-abc123", "someone's");
  test_support::WriteFile("linked/f.dat.gz", testdata::gzip_of("f"));
  Names received = {"linked\\f.dat"};
  EXPECT_EQ(Install(received).result.outcome, Outcome::Installed);
  EXPECT_EQ(test_support::ReadFile("linked/f.dat"), "f");
  EXPECT_TRUE(fs::exists("elsewhere/.decompress-abc123"));
}
#endif

}  // namespace
