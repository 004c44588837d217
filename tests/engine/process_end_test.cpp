// The engine's fatal end as the product has it (this suite links the
// product's seam, not the test one). The installation runs the engine on a
// worker thread while the window's thread waits inside the toolkit; when the
// data is corrupt, the process must end there and then with status 1:
// nothing may run beside or after that end (exit handlers and static
// destructors would tear down what the waiting thread still uses), what was
// printed is handed over, the half-written output is gone and the input
// stays.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/decompress.h"
#include "test_support/temp_dir.h"
#include "testdata/deflate_data.h"

namespace {

namespace fs = std::filesystem;

/// Ends the process with another status if it ever runs.
struct StaticWitness {
  ~StaticWitness() { std::_Exit(4); }
};

/// In the child: prints a line without flushing it, then runs the engine on
/// NAME on a worker thread while this thread waits, as the installation does.
[[noreturn]] void DecompressOnAWorker(const std::string& name, const std::string& printed) {
  std::atexit([] { std::_Exit(3); });
  static StaticWitness witness;
  if (std::freopen(printed.c_str(), "w", stdout) == nullptr) std::_Exit(7);
  std::printf("installed: one.dat");
  std::thread worker([&] {
    engine::decompress_file(name.c_str());
    std::_Exit(5);  // the engine returned: not an end
  });
  worker.join();
  std::_Exit(6);
}

std::string Corrupted(std::string gz, std::size_t fromEnd) {
  gz[gz.size() - fromEnd] ^= 0x5A;
  return gz;
}

struct EndCase {
  const char* name;
  std::string input;
  const char* message;  ///< what the engine prints on standard error
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class FatalEnd : public testing::TestWithParam<EndCase> {};

TEST_P(FatalEnd, EndsAtOnceWithStatus1) {
  const EndCase& c = GetParam();
  // A folder of its own name: where death tests run the test body again in
  // a new process (Windows), the child must find the same files.
  const fs::path dir = fs::temp_directory_path() / ("engine-process-end-" + std::string(c.name));
  fs::remove_all(dir);
  fs::create_directory(dir);
  const std::string input = (dir / "two.dat.gz").string(), printed = (dir / "printed.txt").string();
  test_support::WriteFile(input, c.input);
  EXPECT_EXIT(DecompressOnAWorker(input, printed), testing::ExitedWithCode(1), c.message);
  EXPECT_EQ(test_support::ReadFile(printed), "installed: one.dat");
  EXPECT_EQ(test_support::ReadFile(input), c.input);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2u) << "the half-written output is left behind";
  fs::remove_all(dir);
}

const std::string kPlain = testdata::text_data(200000, 7);
const std::string kGzip = testdata::gzip_of(kPlain);

INSTANTIATE_TEST_SUITE_P(
    CorruptDownloads, FatalEnd,
    testing::Values(EndCase{"CrcMismatch", Corrupted(kGzip, 6), "crc error"},
                    EndCase{"LengthMismatch", Corrupted(kGzip, 2), "length error"},
                    EndCase{"Truncated", kGzip.substr(0, kGzip.size() / 2), "unexpected end of file"},
                    EndCase{"Empty", "", "unexpected end of file"},
                    EndCase{"OneStrayByte", kGzip + "\x1f", "unexpected end of file"}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
