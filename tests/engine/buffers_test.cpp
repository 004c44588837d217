// The shared input/output layer: CRC-32 against zlib's, buffer fills at
// and around 32 KiB, and the fatal end of input.
#include <gtest/gtest.h>

#include <cstring>

#include "file_system.h"

#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;

TEST(Buffers, CrcMatchesZlibHoweverTheDataIsSplit) {
  const auto* none = static_cast<const std::uint8_t*>(nullptr);
  EXPECT_EQ(engine::update_crc(none, 0), 0u);
  std::uint8_t dummy = 0;
  EXPECT_EQ(engine::update_crc(&dummy, 0), 0u) << "restarted register, nothing fed";

  std::string data = noise_data(100000, 9);
  auto bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::uint32_t expected = crc_of(data);
  for (std::size_t piece : {1u, 3u, 15u, 16u, 17u, 4096u, 32768u, 100000u}) {
    engine::update_crc(none, 0);
    std::uint32_t crc = 0;
    for (std::size_t at = 0; at < data.size(); at += piece)
      crc = engine::update_crc(bytes + at, std::min(piece, data.size() - at));
    EXPECT_EQ(crc, expected) << "pieces of " << piece;
    EXPECT_EQ(engine::update_crc(bytes, 0), expected) << "a count of 0 returns the finished CRC";
  }
}

TEST(Buffers, FillsAreWholeBlocksAndEndOfInputIsReported) {
  TempDir dir;
  std::string data = noise_data(32768 + 5, 4);
  write_file("in", data);
  engine::fs::FileStatus opened;
  engine::state.input_handle = engine::fs::open_input("in", &opened);
  ASSERT_GE(engine::state.input_handle, 0);
  engine::clear_buffers();
  EXPECT_EQ(engine::fill_input(true), std::uint8_t(data[0]));
  EXPECT_EQ(engine::state.input_count, 32768u);
  EXPECT_EQ(engine::state.input_pos, 1u);
  engine::state.input_pos = engine::state.input_count;
  EXPECT_EQ(engine::next_input_byte(), std::uint8_t(data[32768]));
  EXPECT_EQ(engine::state.input_count, 5u);
  EXPECT_EQ(engine::fill_input(true), -1);
  engine::fs::close(engine::state.input_handle);

  // Where a byte is required, the end of input ends the engine, naming it.
  write_file("empty", "");
  engine::state.input_handle = engine::fs::open_input("empty", &opened);
  engine::clear_buffers();
  std::strcpy(engine::state.input_name, "in");
  engine::state.remove_output_on_abort = false;
  engine::state.output_handle = -1;
  engine::end_process_hook = throw_engine_ended;
  testing::internal::CaptureStderr();
  int status = -1;
  try {
    engine::fill_input(false);
  } catch (const EngineEnded& e) {
    status = e.status;
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "\ndecompress: in: unexpected end of file\n");
  EXPECT_EQ(engine::state.input_handle, -1) << "the replaced end closes the input";
}

TEST(Buffers, MemberEndingExactlyAtTheEndOfAFillIsFollowedUp) {
  // The first member ends exactly at the end of the first 32 KiB fill; the
  // members after it are still decoded, and a single stray byte after them
  // is still the fatal end of input.
  std::string first_plain, first;
  for (std::size_t n = 32768 - 18; n > 32000; --n) {
    first_plain = noise_data(n, 7);
    first = gzip_of(first_plain, 0);
    if (first.size() == 32768) break;
  }
  ASSERT_EQ(first.size(), 32768u);
  std::string second_plain = text_data(5000, 8);
  std::string second = gzip_of(second_plain, 9);
  {
    TempDir dir;
    write_file("b.gz", first + second);
    EngineRun r = run_engine("b.gz");
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_TRUE(read_file("b") == first_plain + second_plain);
  }
  {
    TempDir dir;
    write_file("c.gz", first + "x");
    EngineRun r = run_engine("c.gz");
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"c.gz"});
  }
  {
    // "PK\3\4" after a member is trailing data, not an archive, even at
    // the start of a fill.
    TempDir dir;
    write_file("d.gz", first + "PK\x03\x04" + std::string(40, 'z'));
    EngineRun r = run_engine("d.gz");
    EXPECT_EQ(r.result, 2) << r.err;
    EXPECT_TRUE(read_file("d") == first_plain);
  }
}

TEST(Buffers, ManySmallMembersAcrossFills) {
  std::string all, expected;
  for (int i = 0; i < 400; ++i) {
    std::string p = text_data(std::size_t(50 + i * 3), unsigned(i));
    all += gzip_of(p, i % 10);
    expected += p;
  }
  TempDir dir;
  write_file("m.gz", all);
  EngineRun r = run_engine("m.gz");
  EXPECT_EQ(r.result, 0) << r.err;
  EXPECT_TRUE(read_file("m") == expected);
}

}  // namespace
