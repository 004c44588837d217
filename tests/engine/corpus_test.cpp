// Runs the decompress tool on every vector of tests/data/corpus in a fresh
// directory and compares what it leaves with MANIFEST.tsv: exit status,
// files left, output size, SHA-256, permission bits, time stamp, and the
// text expected on standard error. On Windows the permission bits are the
// read-only attribute (platform_mode).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support/process.h"
#include "test_support/temp_dir.h"
#include "engine_test_support.h"
#include "sha256.h"

namespace {

using namespace engine_test;
namespace fs = std::filesystem;

struct Row {
  std::string file, format, outcome, output_name, output_size, output_sha256, mtime, description,
      input_mode, stderr_contains;
};

// Test names and failure messages show the vector's file name.
void PrintTo(const Row& row, std::ostream* os) { *os << row.file; }

std::vector<Row> load_manifest() {
  std::vector<Row> rows;
  std::ifstream in(std::string(TEST_DATA_DIR) + "/corpus/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    f.resize(10, "-");
    rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]});
  }
  return rows;
}

/// Runs `decompress NAME` in DIR; its standard error is collected.
test_support::RunResult run_tool(const fs::path& dir, const std::string& name) {
  test_support::ProcessOptions options;
  options.directory = dir.string();
  options.errorOnly = true;
  return test_support::Run({DECOMPRESS_TOOL, name}, options);
}

/// The modification time every input gets (and keeps when its header has
/// no time stamp).
constexpr long long kInputSeconds = 1111111111;
const fs::file_time_type kInputTime =
    fs::file_time_type::clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{kInputSeconds}});

class CorpusVector : public testing::TestWithParam<Row> {};

TEST_P(CorpusVector, MatchesManifest) {
  const Row& row = GetParam();
  SCOPED_TRACE(row.file + ": " + row.description);
  fs::path src = fs::path(TEST_DATA_DIR) / "corpus" / row.file;
  std::string original = read_file(src.string());

  test_support::TempDir scratch;
  const fs::path dir = fs::path(scratch.path()) / "run";
  fs::create_directory(dir);
  fs::path input = dir / row.file;
  write_file(input.string(), original);
  const mode_t input_mode = mode_t(std::stoul(row.input_mode, nullptr, 8));
  fs::last_write_time(input, kInputTime);
  ASSERT_EQ(::chmod(input.string().c_str(), input_mode), 0);

  const test_support::RunResult r = run_tool(dir, row.file);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());


  if (row.stderr_contains != "-") {
    EXPECT_NE(r.output.find(row.stderr_contains), std::string::npos) << r.output;
  }

  if (row.outcome == "ok" || row.outcome == "result=2") {
    EXPECT_EQ(r.status, row.outcome == "ok" ? 0 : 2) << r.output;
    ASSERT_EQ(left, std::vector<std::string>{row.output_name});
    fs::path out = dir / row.output_name;
    std::string bytes = read_file(out.string());
    EXPECT_EQ(std::to_string(bytes.size()), row.output_size);
    EXPECT_EQ(sha256_hex(bytes), row.output_sha256);
    EXPECT_EQ(mode_of(out.string()), platform_mode(input_mode));
    struct stat st {};
    ASSERT_EQ(::stat(out.string().c_str(), &st), 0);
    long long expected_mtime = kInputSeconds;
    if (row.mtime.rfind("header:", 0) == 0) expected_mtime = std::stoll(row.mtime.substr(7));
    EXPECT_EQ((long long)st.st_mtime, expected_mtime);
  } else if (row.outcome == "result=1" || row.outcome == "exit=1") {
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(left, std::vector<std::string>{row.file});
    EXPECT_EQ(read_file(input.string()), original) << "input must be kept unchanged";
    if (row.outcome == "exit=1") {
      EXPECT_FALSE(r.output.empty()) << "a fatal error says why";
    }
  } else {
    FAIL() << "unknown outcome " << row.outcome;
  }
}

std::string row_name(const testing::TestParamInfo<Row>& info) {
  std::string n = info.param.file;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Manifest, CorpusVector, testing::ValuesIn(load_manifest()), row_name);

}  // namespace
