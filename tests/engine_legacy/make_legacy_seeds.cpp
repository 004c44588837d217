// Writes small .Z, pack and LZH files into a directory, as starting points
// for the fuzz target: usage make_legacy_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "testdata/legacy_encoders.h"

using legacy::Bytes;

static void put(const std::string& dir, const std::string& name, const Bytes& b) {
  std::ofstream(dir + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_legacy_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes text = legacy::sample_text(6000, 21);
  const Bytes binary = legacy::sample_binary(3000, 22);
  Bytes mixed = text;
  mixed.insert(mixed.end(), binary.begin(), binary.end());

  for (int width : {9, 12, 16}) {
    legacy::LzwOptions o;
    o.max_width = width;
    put(dir, "lzw-w" + std::to_string(width) + ".Z", legacy::lzw_encode(mixed, o));
  }
  legacy::LzwOptions plain;
  plain.block_mode = false;
  plain.max_width = 10;
  put(dir, "lzw-plain-w10.Z", legacy::lzw_encode(mixed, plain));
  legacy::LzwOptions clears;
  clears.clear_every = 333;
  clears.extra_flags = 0x20;
  put(dir, "lzw-clears.Z", legacy::lzw_encode(mixed, clears));
  legacy::LzwOptions small;
  small.max_width = 9;
  small.clear_when_full = true;
  put(dir, "lzw-w9-full.Z", legacy::lzw_encode(legacy::sample_binary(4000, 23), small));

  put(dir, "pack-text.z", legacy::pack_encode(text));
  put(dir, "pack-binary.z", legacy::pack_encode(binary));
  Bytes skewed;
  for (int b = 0; b < 18; ++b) skewed.insert(skewed.end(), std::size_t{1} << (b % 12), static_cast<std::uint8_t>(b));
  Bytes two = legacy::pack_encode(skewed);
  const Bytes second = legacy::pack_encode(legacy::sample_text(500, 24));
  two.insert(two.end(), second.begin(), second.end());
  put(dir, "pack-long-codes-two-members.z", two);

  put(dir, "lzh-mixed.z", legacy::lzh_encode(mixed));
  legacy::LzhOptions blocks;
  blocks.block_symbols = 700;
  blocks.end_marker = false;
  put(dir, "lzh-small-blocks.z", legacy::lzh_encode(text, blocks));
  legacy::LzhOptions literals;
  literals.matches = false;
  put(dir, "lzh-single-literal.z", legacy::lzh_encode(Bytes(300, 'x'), literals));
  Bytes periodic = legacy::sample_binary(200, 25);
  for (int i = 0; i < 3000; ++i) periodic.push_back(i % 40 == 0 ? static_cast<std::uint8_t>(i) : periodic[periodic.size() - 200]);
  legacy::LzhOptions forms;
  forms.max_distance = 256;
  forms.position_lengths = std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 8, 0, 0, 0, 0, 0};
  put(dir, "lzh-short-forms.z", legacy::lzh_encode(periodic, forms));
  return 0;
}
