#include <gtest/gtest.h>

#include <string>

#include "files/scramble.h"

using files::ScrambleMask;
using files::ScrambleText;
using files::UnscrambleText;

TEST(Scramble, KnownBytesAndRoundTrip) {
  std::string text = "A";
  ScrambleText(text.data());
  // 0x41 ^ 0xFF = 0xBE, rotated left: 0x7D.
  EXPECT_EQ(static_cast<unsigned char>(text[0]), 0x7D);

  std::string all;
  for (int b = 1; b < 256; ++b)
    if (b != ScrambleMask) all += static_cast<char>(b);
  std::string copy = all;
  ScrambleText(copy.data());
  EXPECT_NE(copy, all);
  EXPECT_EQ(copy.find('\0'), std::string::npos) << "only the mask byte scrambles to zero";
  UnscrambleText(copy.data());
  EXPECT_EQ(copy, all);

  std::string korean = "[Server]\nName0=서울 1 서버\n";
  std::string scrambled = korean;
  ScrambleText(scrambled.data());
  UnscrambleText(scrambled.data());
  EXPECT_EQ(scrambled, korean);
}

TEST(Scramble, StopsAtTheFirstZeroByte) {
  std::string empty;
  ScrambleText(empty.data());
  UnscrambleText(empty.data());
  EXPECT_EQ(empty, "");

  std::string text("ab\0cd", 5);
  ScrambleText(text.data());
  EXPECT_NE(text.substr(0, 2), "ab");
  EXPECT_EQ(text.substr(2), std::string("\0cd", 3));

  // The mask byte scrambles to zero, so unscrambling stops there.
  std::string withMask = std::string("x") + static_cast<char>(ScrambleMask) + "y";
  ScrambleText(withMask.data());
  EXPECT_EQ(withMask[1], '\0');
  const char scrambledY = withMask[2];
  UnscrambleText(withMask.data());
  EXPECT_EQ(withMask[0], 'x');
  EXPECT_EQ(withMask[2], scrambledY);
}
