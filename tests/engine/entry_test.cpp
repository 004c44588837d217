// File handling around the decoders: names and suffixes, probing, existing
// outputs, times and permission bits, refusals, and the fatal end as the
// decompress tool shows it to its parent process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

mode_t mode_of(const char* name) {
  struct stat st {};
  EXPECT_EQ(::stat(name, &st), 0) << name;
  return st.st_mode & 07777;
}

TEST(Entry, SuffixesGiveTheOutputName) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.gz", "a"},      {"a.GZ", "a"},         {"b.tgz", "b.tar"}, {"b.TAZ", "b.tar"},
      {"c-gz", "c"},      {"c-z", "c"},          {"c_z", "c"},       {"c.z", "c"},
      {"Readme.Z", "Readme"}, {"Mixed.Case.Gz", "Mixed.Case"}, {"x.tar.gz", "x.tar"}};
  for (auto [in, out] : cases) {
    TempDir dir;
    write_file(in, gzip_of(in));
    EngineRun r = run_engine(in);
    EXPECT_EQ(r.result, 0) << in << ": " << r.err;
    EXPECT_EQ(dir.entries(), Names{out}) << in;
    EXPECT_EQ(read_file(out), in);
  }
  // Longer than the 32 characters the suffix test looks at.
  TempDir dir;
  std::string long_name = std::string(100, 'n') + ".gz";
  write_file(long_name, gzip_of("long"));
  EXPECT_EQ(run_engine(long_name).result, 0);
  EXPECT_EQ(dir.entries(), Names{std::string(100, 'n')});
}

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

TEST(Entry, MissingNamesAreProbedWithSuffixes) {
  {
    TempDir dir;
    write_file("a.gz", gzip_of("found"));
    EXPECT_EQ(run_engine("a").result, 0);
    EXPECT_EQ(dir.entries(), Names{"a"});
    EXPECT_EQ(read_file("a"), "found");
  }
  {
    // Order: .gz, .z, -z, .Z; the first that exists is used.
    TempDir dir;
    write_file("b-z", gzip_of("dash"));
    write_file("b.Z", gzip_of("upper"));
    EXPECT_EQ(run_engine("b").result, 0);
    EXPECT_EQ(dir.entries(), (Names{"b", "b.Z"}));
    EXPECT_EQ(read_file("b"), "dash");
  }
  {
    TempDir dir;
    EngineRun r = run_engine("nothing");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "nothing.gz: No such file or directory\n");
    EXPECT_TRUE(dir.entries().empty());
    // A name that already has a suffix is not probed further.
    r = run_engine("gone.gz");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "gone.gz: No such file or directory\n");
  }
}

TEST(Entry, TimesAndPermissionBitsAreCopied) {
  TempDir dir;
  write_file("r.gz", gzip_of("read-only input"));
  ASSERT_EQ(::chmod("r.gz", 0444), 0);
  struct timespec times[2] = {{1111111111, 123}, {1111111112, 456000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, "r.gz", times, 0), 0);
  EXPECT_EQ(run_engine("r.gz").result, 0);
  EXPECT_EQ(dir.entries(), Names{"r"});
  EXPECT_EQ(mode_of("r"), mode_t(0444));
  struct stat st {};
  ASSERT_EQ(::stat("r", &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1111111112);
  EXPECT_EQ(st.st_atim.tv_sec, 1111111111);

  for (mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0755), mode_t(04750)}) {
    write_file("m.gz", gzip_of("mode"));
    ASSERT_EQ(::chmod("m.gz", mode), 0);
    EXPECT_EQ(run_engine("m.gz").result, 0);
    EXPECT_EQ(mode_of("m"), mode);
    ::unlink("m");
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

TEST(Entry, ExistingOutputThatCannotBeRemovedStays) {
  TempDir dir;
  fs::create_directory("a");
  write_file("a/keep", "x");
  write_file("a.gz", gzip_of("new"));
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err.rfind("decompress: a: ", 0), 0u) << r.err;
  EXPECT_TRUE(fs::is_directory("a"));
  EXPECT_TRUE(fs::exists("a.gz"));
  EXPECT_EQ(mode_of("a") & 0777, mode_t(0755)) << "a failed removal keeps the old bits";
}

TEST(Entry, OutputThatIsTheInputItselfIsRefused) {
  TempDir dir;
  write_file("a.gz", gzip_of("self"));
  ASSERT_EQ(::link("a.gz", "a"), 0);
  EngineRun r = run_engine("a.gz");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "decompress: a.gz and a are the same file\n");
  EXPECT_EQ(dir.entries(), (Names{"a", "a.gz"}));
  EXPECT_EQ(read_file("a.gz"), gzip_of("self"));
}

TEST(Entry, SymbolicLinksAreNotFollowedWhenMakingFilesWritable) {
  // The output slot is a link to a file elsewhere: the link is replaced,
  // the file it points to keeps its bits and contents.
  TempDir dir;
  write_file("precious", "do not touch");
  ASSERT_EQ(::chmod("precious", 0400), 0);
  ASSERT_EQ(::symlink("precious", "a"), 0);
  write_file("a.gz", gzip_of("new"));
  EXPECT_EQ(run_engine("a.gz").result, 0);
  EXPECT_EQ(mode_of("precious"), mode_t(0400));
  EXPECT_EQ(read_file("precious"), "do not touch");
  EXPECT_EQ(read_file("a"), "new");
  struct stat st {};
  ASSERT_EQ(::lstat("a", &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(Entry, DirectoriesAndSpecialFilesAreWarnings) {
  TempDir dir;
  fs::create_directory("d.gz");
  EngineRun r = run_engine("d.gz");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(::mkfifo("p.gz", 0600), 0);
  r = run_engine("p.gz");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(dir.entries(), (Names{"d.gz", "p.gz"}));
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

struct ToolRun {
  int status = -1;
  std::string err;
};

/// Runs `decompress NAME` in the current directory; with FILE_LIMIT the
/// child may write at most that many bytes to any file.
ToolRun run_tool(const std::string& name, long file_limit = -1) {
  std::string err_path = "/tmp/engine-tool-err-" + std::to_string(::getpid());
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    if (file_limit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl {rlim_t(file_limit), rlim_t(file_limit)};
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    ::execl(DECOMPRESS_TOOL, "decompress", name.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  ToolRun r;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.err = read_file(err_path);
  ::unlink(err_path.c_str());
  return r;
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
  ToolRun r = run_tool("bad.gz");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\ndecompress: bad.gz: invalid compressed data--crc error\n");
  EXPECT_EQ(dir.entries(), (Names{"bad.gz", "ok", "refused.gz", "warn"}));
}

TEST(Tool, InputsFoundByFuzzingEndCleanly) {
  // Each once made the engine write outside its buffers.
  fs::path dir_in = fs::path(TEST_DATA_DIR) / "fuzz-regressions";
  for (const auto& entry : fs::directory_iterator(dir_in)) {
    TempDir dir;
    std::string name = entry.path().filename().string();
    write_file(name, read_file(entry.path().string()));
    ToolRun r = run_tool(name);
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << name << ": " << r.status;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << name << ": " << r.err;
  }
}

TEST(Tool, WriteFailureEndsTheProcessAndRemovesTheOutput) {
  TempDir dir;
  write_file("big.gz", gzip_of(text_data(300000)));
  ToolRun r = run_tool("big.gz", 100000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\ndecompress: big: File too large\n");
  EXPECT_EQ(dir.entries(), Names{"big.gz"});
}

}  // namespace
