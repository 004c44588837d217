// File handling around the decoders: names and suffixes, probing, existing
// outputs, times and permission bits, refusals, and the fatal end as the
// decompress tool shows it to its parent process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support/process.h"
#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

struct SuffixCase {
  const char* name;
  const char* input;
  const char* output;
};

void PrintTo(const SuffixCase& c, std::ostream* os) { *os << c.input; }

class Suffixes : public testing::TestWithParam<SuffixCase> {};

TEST_P(Suffixes, GiveTheOutputName) {
  const SuffixCase& c = GetParam();
  TempDir dir;
  write_file(c.input, gzip_of(c.input));
  EngineRun r = run_engine(c.input);
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(dir.entries(), Names{c.output});
  EXPECT_EQ(read_file(c.output), c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Suffixes,
    testing::Values(SuffixCase{"Gz", "a.gz", "a"}, SuffixCase{"UpperGz", "a.GZ", "a"},
                    SuffixCase{"Tgz", "b.tgz", "b.tar"}, SuffixCase{"UpperTaz", "b.TAZ", "b.tar"},
                    SuffixCase{"DashGz", "c-gz", "c"}, SuffixCase{"DashZ", "c-z", "c"},
                    SuffixCase{"UnderscoreZ", "c_z", "c"}, SuffixCase{"DotZ", "c.z", "c"},
                    SuffixCase{"UpperDotZ", "Readme.Z", "Readme"},
                    SuffixCase{"MixedCaseGz", "Mixed.Case.Gz", "Mixed.Case"},
                    SuffixCase{"TarGz", "x.tar.gz", "x.tar"},
                    // Longer than the 32 characters the suffix test looks at.
                    SuffixCase{"LongName", "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.gz",
                               "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"}),
    [](const testing::TestParamInfo<SuffixCase>& info) { return std::string(info.param.name); });

TEST(Entry, NamesWithoutARecognisedSuffixAreSkipped) {
  TempDir dir;
  fs::create_directory("d");
  for (const char* name : {"plain", ".gz", "d/.gz", "d/-z", "x.gzip", "y.bz2"}) {
    write_file(name, gzip_of("data"));
    EngineRun r = run_engine(name);
    EXPECT_EQ(r.result, 0) << name;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_TRUE(fs::exists(name)) << name << " must stay untouched";
  }
  EXPECT_EQ(dir.entries(), (Names{".gz", "d", "plain", "x.gzip", "y.bz2"}));
}

struct ProbeCase {
  std::string name;
  Names present;        // files there before, each holding its own name compressed
  const char* given;    // the name given to the engine
  int result;
  std::string message;
  Names left;
  std::string output;   // what the output `a`/`b` holds
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

class Probing : public testing::TestWithParam<ProbeCase> {};

TEST_P(Probing, FindsTheFirstCompressedName) {
  const ProbeCase& c = GetParam();
  TempDir dir;
  for (const auto& name : c.present) write_file(name, gzip_of(name));
  EngineRun r = run_engine(c.given);
  EXPECT_EQ(r.result, c.result);
  EXPECT_EQ(r.err, c.message);
  EXPECT_EQ(dir.entries(), c.left);
  if (!c.output.empty()) {
    EXPECT_EQ(read_file(c.given), c.output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    MissingNames, Probing,
    testing::Values(ProbeCase{"GzFound", {"a.gz"}, "a", 0, "", {"a"}, "a.gz"},
                    // Order: .gz, .z, -z, .Z; the first that exists is used.
#ifdef _WIN32
                    // Names ignore letter case: the probe .z finds b.Z first.
                    ProbeCase{"DotZFindsUpperZ", {"b-z", "b.Z"}, "b", 0, "", {"b", "b-z"}, "b.Z"},
#else
                    ProbeCase{"DashZBeforeUpperZ", {"b-z", "b.Z"}, "b", 0, "", {"b", "b.Z"}, "b-z"},
#endif
                    ProbeCase{"NothingFound", {}, "nothing", 1,
                              "nothing.gz: No such file or directory\n", {}, ""},
                    // A name that already has a suffix is not probed further.
                    ProbeCase{"SuffixedNameMissing", {"gone.gz.gz"}, "gone.gz", 1,
                              "gone.gz: No such file or directory\n", {"gone.gz.gz"}, ""}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

TEST(Entry, TimesAndPermissionBitsAreCopied) {
  TempDir dir;
  write_file("r.gz", gzip_of("read-only input"));
  ASSERT_TRUE(set_file_times("r.gz", 1111111111, 1111111112));
  ASSERT_EQ(::chmod("r.gz", 0444), 0);
  const EngineRun run = run_engine("r.gz");
  EXPECT_EQ(run.result, 0) << run.err;
  EXPECT_EQ(dir.entries(), Names{"r"});
  EXPECT_EQ(mode_of("r"), platform_mode(0444));
  struct stat st {};
  ASSERT_EQ(::stat("r", &st), 0);
  EXPECT_EQ((long long)st.st_mtime, 1111111112);
  EXPECT_EQ((long long)st.st_atime, 1111111111);

  for (mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0755), mode_t(04750)}) {
    write_file("m.gz", gzip_of("mode"));
    ASSERT_EQ(::chmod("m.gz", mode), 0);
    EXPECT_EQ(run_engine("m.gz").result, 0);
    EXPECT_EQ(mode_of("m"), platform_mode(mode));
    fs::remove("m");
  }
}

TEST(Entry, ExistingOutputIsReplacedEvenWhenReadOnly) {
  TempDir dir;
  write_file("a", "old contents that are longer than the new ones");
  ASSERT_EQ(::chmod("a", 0400), 0);
  write_file("a.gz", gzip_of("new"));
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(read_file("a"), "new");
  EXPECT_EQ(dir.entries(), Names{"a"});
}

TEST(Entry, DirectoryInTheOutputsPlaceStays) {
  TempDir dir;
  fs::create_directory("a");
  write_file("a/keep", "x");
  write_file("a.gz", gzip_of("new"));
  const mode_t bits = mode_of("a");
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "decompress: a: Is a directory\n");
  EXPECT_TRUE(fs::is_directory("a"));
  EXPECT_EQ(dir.entries(), (Names{"a", "a.gz"}));
  EXPECT_EQ(mode_of("a"), bits);
}

TEST(Entry, OutputThatIsTheInputItselfIsRefused) {
  TempDir dir;
  write_file("a.gz", gzip_of("self"));
  fs::create_hard_link("a.gz", "a");
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "decompress: a.gz and a are the same file\n");
  EXPECT_EQ(dir.entries(), (Names{"a", "a.gz"}));
  EXPECT_EQ(read_file("a.gz"), gzip_of("self"));
}

TEST(Entry, DirectoryIsAQuietWarning) {
  // Links, FIFOs and the like: file_safety_test.cpp.
  TempDir dir;
  fs::create_directory("d.gz");
  EngineRun r = run_engine("d.gz");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.entries(), Names{"d.gz"});
}

TEST(Entry, NamesTooLongForTheBuffersAreRefusedUntouched) {
  TempDir dir;
  // A path of exactly 256 characters works: directories make it long.
  std::string d1(120, 'd'), d2(120, 'e');
  fs::create_directories(d1 + "/" + d2);
  std::string base = d1 + "/" + d2 + "/";
  std::string ok = base + std::string(256 - base.size() - 3, 'f') + ".gz";
  ASSERT_EQ(ok.size(), 256u);
  write_file(ok, gzip_of("fits"));
  EngineRun r = run_engine(ok);
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(read_file(ok.substr(0, ok.size() - 3)), "fits");

  std::string too_long = base + std::string(257 - base.size() - 3, 'g') + ".gz";
  ASSERT_EQ(too_long.size(), 257u);
  write_file(too_long, gzip_of("too long"));
  r = run_engine(too_long);
  EXPECT_EQ(r.result, 1);
  EXPECT_NE(r.err.find("name too long"), std::string::npos);
  EXPECT_TRUE(fs::exists(too_long));
  EXPECT_FALSE(fs::exists(too_long.substr(0, too_long.size() - 3)));

  // Probing appends up to three characters: a 256-character missing name
  // still fits, and is reported with its suffix.
  std::string missing = base + std::string(256 - base.size(), 'h');
  r = run_engine(missing);
  EXPECT_EQ(r.result, 1);
  EXPECT_NE(r.err.find(missing + ".gz: No such file"), std::string::npos);
  r = run_engine(std::string(5000, 'z'));
  EXPECT_EQ(r.result, 1);
}

TEST(Entry, CallsFollowEachOtherInOneProcess) {
  // A fatal end, a refusal and a warning leave nothing behind that changes
  // the next call.
  TempDir dir;
  std::string plain = text_data(100000);
  std::string bad = gzip_of(plain);
  bad[bad.size() / 2] ^= 0x55;
  write_file("bad.gz", bad);
  EngineRun r = run_engine("bad.gz");
  EXPECT_TRUE(r.ended);
  write_file("refused.gz", "no magic here");
  EXPECT_EQ(run_engine("refused.gz").result, 1);
  write_file("good.gz", gzip_of(plain));
  r = run_engine("good.gz");
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_TRUE(read_file("good") == plain);
  EXPECT_EQ(dir.entries(), (Names{"bad.gz", "good", "refused.gz"}));
}

// ---- the decompress tool in a child process -----------------------------

/// Runs `decompress NAME` in the current directory, collecting its standard
/// error; with FILE_LIMIT it may write at most that many bytes to any file.
test_support::RunResult run_tool(const std::string& name, long file_limit = -1) {
  test_support::ProcessOptions options;
  options.errorOnly = true;
  options.fileSizeLimit = file_limit;
  return test_support::Run({DECOMPRESS_TOOL, name}, options);
}

TEST(Tool, ExitStatusIsTheEngineResult) {
  TempDir dir;
  write_file("ok.gz", gzip_of("fine"));
  EXPECT_EQ(run_tool("ok.gz").status, 0);
  write_file("warn.gz", gzip_of("fine") + "trailing");
  EXPECT_EQ(run_tool("warn.gz").status, 2);
  write_file("refused.gz", "nothing known");
  EXPECT_EQ(run_tool("refused.gz").status, 1);
  std::string bad = gzip_of(text_data(200000));
  bad[bad.size() - 6] ^= 1;
  write_file("bad.gz", bad);
  test_support::RunResult r = run_tool("bad.gz");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "\ndecompress: bad.gz: invalid compressed data--crc error\n");
  EXPECT_EQ(dir.entries(), (Names{"bad.gz", "ok", "refused.gz", "warn"}));
}

TEST(Tool, InputsFoundByFuzzingEndCleanly) {
  // Each once made the engine write outside its buffers.
  fs::path dir_in = fs::path(TEST_DATA_DIR) / "fuzz-regressions";
  for (const auto& entry : fs::directory_iterator(dir_in)) {
    TempDir dir;
    std::string name = entry.path().filename().string();
    write_file(name, read_file(entry.path().string()));
    test_support::RunResult r = run_tool(name);
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << name << ": " << r.status;
    EXPECT_EQ(r.output.find("Sanitizer"), std::string::npos) << name << ": " << r.output;
  }
}

#ifndef _WIN32  // Windows has no limit on the size of the files a process writes.
TEST(Tool, WriteFailureEndsTheProcessAndRemovesTheOutput) {
  TempDir dir;
  write_file("big.gz", gzip_of(text_data(300000)));
  test_support::RunResult r = run_tool("big.gz", 100000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "\ndecompress: big: File too large\n");
  EXPECT_EQ(dir.entries(), Names{"big.gz"});
}
#endif

}  // namespace
