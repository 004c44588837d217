// The two signed files of a session are read in memory, never through the
// engine: only a whole gzip stream of stored blocks within its size passes.

#include <gtest/gtest.h>

#include "session/download_check.h"
#include "testdata/deflate_data.h"

namespace {

const std::string kText = testdata::text_data(150000, 7);  // three stored blocks

std::string Stored(const std::string& plain = kText) { return testdata::gzip_of(plain, 0); }

std::string Flipped(std::string s, std::size_t at) {
  s[at] = static_cast<char>(s[at] ^ 1);
  return s;
}

struct StoredCase {
  const char* name;
  std::string stream;
  std::size_t limit;
  bool accepted;
};
void PrintTo(const StoredCase& c, std::ostream* out) { *out << c.name; }

class StoredGzip : public ::testing::TestWithParam<StoredCase> {};

TEST_P(StoredGzip, OnlyAWholeStreamOfStoredBlocksIsRead) {
  std::string content;
  EXPECT_EQ(session::ReadStoredGzip(GetParam().stream, GetParam().limit, content), GetParam().accepted);
  if (GetParam().accepted) {
    EXPECT_EQ(content, kText);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StoredGzip,
    ::testing::Values(StoredCase{"StoredBlocks", Stored(), kText.size(), true},
                      StoredCase{"WithNameAndComment",
                                 testdata::gzip_of(kText, 0, {0x8B, 8, 8 | 16, 0, "", "m", "c"}),
                                 kText.size(), true},
                      StoredCase{"OneByteOverTheLimit", Stored(), kText.size() - 1, false},
                      StoredCase{"CompressedBlocks", testdata::gzip_of(kText, 6), kText.size(), false},
                      StoredCase{"CrcWrong", Flipped(Stored(), Stored().size() - 8), kText.size(), false},
                      StoredCase{"LengthWrong", Flipped(Stored(), Stored().size() - 4), kText.size(), false},
                      StoredCase{"LengthComplementWrong", Flipped(Stored(), 13), kText.size(), false},
                      StoredCase{"ByteBehind", Stored() + "x", kText.size(), false},
                      StoredCase{"SecondMember", Stored() + Stored(), 2 * kText.size(), false},
                      StoredCase{"TrailerCut", Stored().substr(0, Stored().size() - 1), kText.size(), false},
                      StoredCase{"BodyCut", Stored().substr(0, Stored().size() / 2), kText.size(), false},
                      StoredCase{"NotGzip", "BZh9" + Stored().substr(4), kText.size(), false}));

}  // namespace
