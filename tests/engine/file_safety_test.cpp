// What the engine does to the files around the one it decompresses, as a
// player or an operator finds them afterwards: links in the game folder are
// never written through, other names of the same file never change, an
// installed file survives every failed decompression, and a full disk or an
// I/O error at any write, close or rename ends in a clear message with the
// installed file intact.
//
// On Windows (under Wine) links cannot be made (Wine has no symbolic links),
// so the link cases are POSIX only; hard links, the read-only attribute and
// the failures run there too.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <map>

#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

/// A scratch directory holding game/ (the current directory while it lives)
/// and outside/, standing for any place outside the game folder.
class Folders {
 public:
  Folders() {
    fs::create_directory("game");
    fs::create_directory("outside");
    fs::current_path("game");
  }
  /// Every file below outside/ with its contents and permission bits.
  std::map<std::string, std::string> outside() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_.path() / "outside")) {
      const std::string name = fs::relative(e.path(), dir_.path() / "outside").string();
      if (fs::is_symlink(e.symlink_status())) {
        files[name] = "link";
      } else if (e.is_regular_file()) {
        files[name] = std::to_string(mode_of(e.path().string())) + ":" + read_file(e.path().string());
      } else {
        files[name] = "directory";
      }
    }
    return files;
  }

 private:
  TempDir dir_;
};

#ifndef _WIN32
// ---- links in the game folder ------------------------------------------------

bool is_link(const std::string& name) { return fs::is_symlink(fs::symlink_status(name)); }

struct LinkCase {
  const char* name;
  void (*plant)();          // makes the files and links, from inside game/
  const char* decompress;   // the name given to the engine
  int result;
  Names game;               // what game/ holds afterwards
  const char* still_link;   // a name in game/ that is still a link, or ""
  const char* installed;    // a name in game/ that is a regular file holding "new", or ""
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class Links : public testing::TestWithParam<LinkCase> {};

TEST_P(Links, AreNeverWrittenThroughOrFollowedToTheirTarget) {
  const LinkCase& c = GetParam();
  Folders folders;
  c.plant();
  const auto outside_before = folders.outside();
  EngineRun r = run_engine(c.decompress);
  EXPECT_FALSE(r.ended) << r.err;
  EXPECT_EQ(r.result, c.result) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(TempDir::entries_of("."), c.game);
  if (*c.still_link) {
    EXPECT_TRUE(is_link(c.still_link)) << c.still_link;
  }
  if (*c.installed) {
    EXPECT_FALSE(is_link(c.installed));
    EXPECT_EQ(read_file(c.installed), "new");
  }
  EXPECT_EQ(folders.outside(), outside_before) << "nothing outside the game folder changes";
}

INSTANTIATE_TEST_SUITE_P(
    GameFolder, Links,
    testing::Values(
        LinkCase{"OutputNameLinksToAReadOnlyFileOutside",
                 [] {
                   write_file("../outside/precious", "do not touch");
                   ::chmod("../outside/precious", 0444);
                   ::symlink("../outside/precious", "a");
                   write_file("a.gz", gzip_of("new"));
                 },
                 "a.gz", 0, {"a"}, "", "a"},
        LinkCase{"OutputNameLinksToAWritableFileOutside",
                 [] {
                   write_file("../outside/precious", "do not touch");
                   ::symlink("../outside/precious", "a");
                   write_file("a.gz", gzip_of("new"));
                 },
                 "a.gz", 0, {"a"}, "", "a"},
        LinkCase{"OutputNameLinksToANameOutsideThatDoesNotExist",
                 [] {
                   ::symlink("../outside/planted", "a");
                   write_file("a.gz", gzip_of("new"));
                 },
                 "a.gz", 0, {"a"}, "", "a"},
        LinkCase{"DownloadNameLinksToAFileOutside",
                 [] {
                   write_file("../outside/data.gz", gzip_of("outside data"));
                   ::symlink("../outside/data.gz", "a.gz");
                 },
                 "a.gz", 2, {"a.gz"}, "a.gz", ""},
        LinkCase{"DownloadNameLinksToNothing",
                 [] { ::symlink("../outside/missing.gz", "a.gz"); },
                 "a.gz", 2, {"a.gz"}, "a.gz", ""},
        LinkCase{"DownloadNameIsAFifo", [] { ::mkfifo("a.gz", 0600); }, "a.gz", 2, {"a.gz"}, "", ""},
        LinkCase{"DirectoryInThePathIsALinkToADirectoryInTheFolder",
                 [] {
                   fs::create_directory("real");
                   ::symlink("real", "data");
                   write_file("real/a.gz", gzip_of("new"));
                 },
                 "data/a.gz", 0, {"data", "real"}, "data", "real/a"}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST(Links, DirectoryMovedToAnotherDiskStaysUsable) {
  // Players move big data folders elsewhere and leave a link behind.
  Folders folders;
  fs::create_directory("../outside/moved");
  ASSERT_EQ(::symlink("../outside/moved", "data"), 0);
  write_file("data/map.dat.gz", gzip_of("map"));
  EngineRun r = run_engine("data/map.dat.gz");
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(read_file("../outside/moved/map.dat"), "map");
  EXPECT_EQ(TempDir::entries_of("../outside/moved"), Names{"map.dat"});
}

#endif  // _WIN32

// ---- other names of the same file ------------------------------------------------

struct SecondNameCase {
  const char* name;
  bool of_download;  // the second name belongs to a.gz (else to the installed a)
  mode_t mode;
};

void PrintTo(const SecondNameCase& c, std::ostream* os) { *os << c.name; }

class SecondNames : public testing::TestWithParam<SecondNameCase> {};

TEST_P(SecondNames, KeepTheirContentsAndPermissionBits) {
  const SecondNameCase& c = GetParam();
  Folders folders;
  const std::string gz = gzip_of("new");
  write_file("a", "installed before");
  write_file("a.gz", gz);
  const char* with_second_name = c.of_download ? "a.gz" : "a";
  ASSERT_EQ(::chmod(with_second_name, c.mode), 0);
  fs::create_hard_link(with_second_name, "../outside/second");

  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(read_file("a"), "new");
  EXPECT_EQ(TempDir::entries_of("."), Names{"a"});
  EXPECT_EQ(mode_of("../outside/second"), platform_mode(c.mode));
  EXPECT_EQ(read_file("../outside/second"), c.of_download ? gz : "installed before");
}

INSTANTIATE_TEST_SUITE_P(
    OutsideTheFolder, SecondNames,
    testing::Values(SecondNameCase{"InstalledFile", false, 0644},
                    SecondNameCase{"ReadOnlyInstalledFile", false, 0444},
                    SecondNameCase{"Download", true, 0640},
                    SecondNameCase{"ReadOnlyDownload", true, 0400}),
    [](const testing::TestParamInfo<SecondNameCase>& info) { return std::string(info.param.name); });

// ---- a failed decompression keeps the installed file --------------------------------

constexpr char kInstalled[] = "the version installed before";

/// game/ with an installed `a` (mode 0640) and the download `a.gz`.
void install_and_download(const std::string& download) {
  write_file("a", kInstalled);
  ::chmod("a", 0640);
  write_file("a.gz", download);
}

/// The installed file is as it was, the download is kept, and nothing else
/// (no temporary file) is left.
testing::AssertionResult installed_file_intact(const std::string& download) {
  if (TempDir::entries_of(".") != Names{"a", "a.gz"}) {
    std::string names;
    for (const auto& n : TempDir::entries_of(".")) names += n + " ";
    return testing::AssertionFailure() << "game folder holds " << names;
  }
  if (read_file("a") != kInstalled) return testing::AssertionFailure() << "a changed";
  if (mode_of("a") != platform_mode(0640)) return testing::AssertionFailure() << "a's bits changed";
  if (read_file("a.gz") != download) return testing::AssertionFailure() << "a.gz changed";
  return testing::AssertionSuccess();
}

struct FailedDownloadCase {
  const char* name;
  std::string (*download)();
  bool ended;  // the engine ends the process (else it returns 1)
  const char* message;
};

void PrintTo(const FailedDownloadCase& c, std::ostream* os) { *os << c.name; }

class FailedDownloads : public testing::TestWithParam<FailedDownloadCase> {};

TEST_P(FailedDownloads, LeaveTheInstalledFileAsItWas) {
  const FailedDownloadCase& c = GetParam();
  Folders folders;
  const std::string download = c.download();
  install_and_download(download);
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.ended, c.ended) << r.err;
  if (!c.ended) {
    EXPECT_EQ(r.result, 1);
  }
  EXPECT_EQ(r.err, c.message);
  EXPECT_TRUE(installed_file_intact(download));
}

std::string big_member() { return gzip_of(text_data(300000, 5) + noise_data(50000, 6)); }

INSTANTIATE_TEST_SUITE_P(
    Download, FailedDownloads,
    testing::Values(
        FailedDownloadCase{"CorruptData",
                           [] {
                             std::string gz = big_member();
                             gz[gz.size() - 8] ^= 1;
                             return gz;
                           },
                           true, "\ndecompress: a.gz: invalid compressed data--crc error\n"},
        FailedDownloadCase{"CutShort",
                           [] {
                             std::string gz = big_member();
                             return gz.substr(0, gz.size() * 2 / 3);
                           },
                           true, "\ndecompress: a.gz: unexpected end of file\n"},
        FailedDownloadCase{"SecondMemberRefused",
                           [] {
                             GzipHeader h;
                             h.method = 7;
                             return big_member() + gzip_of("x", 6, h);
                           },
                           false, "decompress: a.gz: unknown method 7 -- not supported\n"},
        FailedDownloadCase{"ArchiveWithTwoEntries",
                           [] { return zip_entry(text_data(100000), 8) + zip_entry("second", 0); },
                           false, "decompress: a.gz has more than one entry -- unchanged\n"},
        FailedDownloadCase{"NotCompressedAtAll", [] { return std::string("<html>busy</html>"); },
                           false, "\ndecompress: a.gz: not in gzip format\n"}),
    [](const testing::TestParamInfo<FailedDownloadCase>& info) {
      return std::string(info.param.name);
    });

// ---- the file system fails ------------------------------------------------------------

struct FaultCase {
  const char* name;
  engine::FileOp op;
  int nth;  // which call of OP fails (the input is closed before the output)
  int error;
  bool ended;
  int result;  // when not ended
  const char* message;
  bool installed;  // the new file is in place (else the old one is intact)
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FileSystemFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(FileSystemFaults, GiveAClearMessageAndKeepTheInstalledFile) {
  const FaultCase& c = GetParam();
  Folders folders;
  const std::string plain = text_data(200000, 3);  // several 32 KiB writes
  const std::string download = gzip_of(plain);
  install_and_download(download);
  EngineRun r;
  {
    FileFault fault(c.op, c.nth, c.error);
    r = run_engine("a.gz");
  }
  EXPECT_EQ(r.ended, c.ended) << r.err;
  if (!c.ended) {
    EXPECT_EQ(r.result, c.result);
  }
  EXPECT_EQ(r.err, c.message);
  if (!c.installed) {
    EXPECT_TRUE(installed_file_intact(download));
  } else {
    EXPECT_TRUE(read_file("a") == plain);
    Names left = c.op == engine::FileOp::Remove ? Names{"a", "a.gz"} : Names{"a"};
    EXPECT_EQ(TempDir::entries_of("."), left);
  }
}

using engine::FileOp;
INSTANTIATE_TEST_SUITE_P(
    Injected, FileSystemFaults,
    testing::Values(
        FaultCase{"FirstWriteDiskFull", FileOp::Write, 1, ENOSPC, true, 0,
                  "\ndecompress: a: No space left on device\n", false},
        FaultCase{"FirstWriteIoError", FileOp::Write, 1, EIO, true, 0,
                  "\ndecompress: a: Input/output error\n", false},
        FaultCase{"ThirdWriteDiskFull", FileOp::Write, 3, ENOSPC, true, 0,
                  "\ndecompress: a: No space left on device\n", false},
        FaultCase{"LastWriteIoError", FileOp::Write, 7, EIO, true, 0,
                  "\ndecompress: a: Input/output error\n", false},
        FaultCase{"CloseDiskFull", FileOp::Close, 2, ENOSPC, true, 0,
                  "\ndecompress: a: No space left on device\n", false},
        FaultCase{"CloseIoError", FileOp::Close, 2, EIO, true, 0,
                  "\ndecompress: a: Input/output error\n", false},
        FaultCase{"RenameDiskFull", FileOp::Replace, 1, ENOSPC, false, 1,
                  "decompress: a: No space left on device\n", false},
        FaultCase{"RenameIoError", FileOp::Replace, 1, EIO, false, 1,
                  "decompress: a: Input/output error\n", false},
        FaultCase{"CreateDiskFull", FileOp::Create, 1, ENOSPC, false, 1,
                  "decompress: a: No space left on device\n", false},
        FaultCase{"TimesNotSet", FileOp::SetTimes, 1, EIO, false, 2, "", true},
        FaultCase{"PermissionBitsNotSet", FileOp::SetMode, 1, EIO, false, 2, "", true},
        FaultCase{"DownloadNotRemoved", FileOp::Remove, 1, EIO, false, 2, "", true}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
