// The installation of received files without a window: what it leaves in the
// game folder besides the installed files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files/version_file.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"
#include "ui/installation.h"

namespace {

namespace fs = std::filesystem;

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

TEST(Installation, RemovesOnlyTheEnginesLeftoversWhereItWrites) {
  test_support::TempDir dir;
  test_support::ScopedCurrentDirectory inside(dir.path());
  fs::create_directories("data/deep");
  fs::create_directories("other");
  test_support::WriteFile(dir / "outside.txt", "not to be touched");
  for (const Planted& p : kPlanted) {
    switch (p.kind) {
      case Kind::File:
        test_support::WriteFile(p.name, "half a file");
        break;
      case Kind::Folder:
        fs::create_directory(p.name);
        break;
      case Kind::Link:
#ifndef _WIN32  // Wine makes no symbolic links
        fs::create_symlink(dir / "outside.txt", p.name);
#endif
        break;
    }
  }
  const std::vector<std::pair<std::string, std::string>> received = {
      {"one.dat", testdata::text_data(40000, 1)},
      {"data\\two.dat", testdata::text_data(30000, 2)},
      {"data\\deep\\three.dat", testdata::noise_data(20000, 3)}};
  session::SessionOutcome outcome;
  for (const auto& [name, plain] : received) {
    std::string host = name;
    for (char& c : host) c = c == '\\' ? '/' : c;
    test_support::WriteFile(host + ".gz", testdata::gzip_of(plain));
    outcome.receivedNames.push_back(name);
  }
  outcome.versions = {2, 1};

  const ui::InstallResult result = ui::InstallReceivedFiles(outcome);

  EXPECT_EQ(result.outcome, ui::InstallResult::Outcome::Installed);
  for (const auto& [name, plain] : received) {
    std::string host = name;
    for (char& c : host) c = c == '\\' ? '/' : c;
    EXPECT_EQ(test_support::ReadFile(host), plain) << name;
  }
  for (const Planted& p : kPlanted) {
#ifdef _WIN32
    if (p.kind == Kind::Link) continue;
#endif
    EXPECT_EQ(fs::exists(fs::symlink_status(p.name)), p.stays) << p.name;
  }
  EXPECT_EQ(test_support::ReadFile(dir / "outside.txt"), "not to be touched");
  files::FileVersionRecord record;
  ASSERT_EQ(files::ReadVersionFile(record), files::VersionFileOutcome::Valid);
  EXPECT_EQ(record.major, 2);
  EXPECT_EQ(record.minor, 1);
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
  session::SessionOutcome outcome;
  outcome.receivedNames = {"linked\\f.dat"};
  outcome.versions = {1, 1};
  EXPECT_EQ(ui::InstallReceivedFiles(outcome).outcome, ui::InstallResult::Outcome::Installed);
  EXPECT_EQ(test_support::ReadFile("linked/f.dat"), "f");
  EXPECT_TRUE(fs::exists("elsewhere/.decompress-abc123"));
}
#endif

}  // namespace
