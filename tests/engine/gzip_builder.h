#pragma once
// Test data for the engine: raw deflate made by zlib, gzip and PKZIP
// containers put together by hand (so every header field can be chosen),
// and a bit writer for deflate blocks that zlib would never produce.
#include <zlib.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace engine_test {

/// Raw deflate of DATA (no wrapper) at LEVEL with STRATEGY.
inline std::string zlib_deflate(const std::string& data, int level = 6,
                                int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&zs, uLong(data.size())) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = uInt(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = uInt(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::uint32_t crc_of(const std::string& data) {
  return std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

inline void put_le16(std::string& s, std::uint32_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char((v >> 8) & 0xFF));
}
inline void put_le32(std::string& s, std::uint32_t v) {
  put_le16(s, v & 0xFFFF);
  put_le16(s, v >> 16);
}

struct GzipHeader {
  int magic2 = 0x8B;
  int method = 8;
  int flags = 0;
  std::uint32_t mtime = 0;
  std::string extra, name, comment;
};

inline std::string gzip_header(const GzipHeader& h) {
  std::string s;
  s.push_back(char(0x1F));
  s.push_back(char(h.magic2));
  s.push_back(char(h.method));
  s.push_back(char(h.flags));
  put_le32(s, h.mtime);
  s.push_back(char(0));     // extra flags
  s.push_back(char(3));     // operating system
  if (h.flags & 0x04) {
    put_le16(s, std::uint32_t(h.extra.size()));
    s += h.extra;
  }
  if (h.flags & 0x08) s += h.name + std::string(1, '\0');
  if (h.flags & 0x10) s += h.comment + std::string(1, '\0');
  return s;
}

/// One gzip member holding DEFLATED, whose uncompressed form is PLAIN.
inline std::string gzip_member(const std::string& plain, const std::string& deflated,
                               const GzipHeader& h = {}) {
  std::string s = gzip_header(h) + deflated;
  put_le32(s, crc_of(plain));
  put_le32(s, std::uint32_t(plain.size()));
  return s;
}

inline std::string gzip_of(const std::string& plain, int level = 6, const GzipHeader& h = {}) {
  return gzip_member(plain, zlib_deflate(plain, level), h);
}

/// A single-entry PKZIP local header + data (+ descriptor when flag bit 3).
inline std::string zip_entry(const std::string& plain, int method, int flags = 0,
                             const std::string& name = "x.txt", const std::string& extra = "") {
  std::string data = method == 8 ? zlib_deflate(plain) : plain;
  bool descriptor = flags & 8;
  std::string s = "PK\x03\x04";
  put_le16(s, 20);
  put_le16(s, std::uint32_t(flags));
  put_le16(s, std::uint32_t(method));
  put_le32(s, 0);  // time and date
  put_le32(s, descriptor ? 0 : crc_of(plain));
  put_le32(s, descriptor ? 0 : std::uint32_t(data.size()));
  put_le32(s, descriptor ? 0 : std::uint32_t(plain.size()));
  put_le16(s, std::uint32_t(name.size()));
  put_le16(s, std::uint32_t(extra.size()));
  s += name + extra + data;
  if (descriptor) {
    s += "PK\x07\x08";
    put_le32(s, crc_of(plain));
    put_le32(s, std::uint32_t(data.size()));
    put_le32(s, std::uint32_t(plain.size()));
  }
  return s;
}

/// Text-like bytes: words with a skewed choice, so that deflate finds many
/// matches and dynamic blocks are worth it.
inline std::string text_data(std::size_t n, unsigned seed = 1) {
  static const char* words[] = {"the ", "engine ", "window ", "of ", "data ", "and ", "a ",
                                "mirvale ", "update ", "server ", "file ", "\n", "block ",
                                "32768 ", "length ", "distance "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[std::min<unsigned>(unsigned(rng() % 40) / 2, 15)];
  s.resize(n);
  return s;
}

inline std::string noise_data(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

/// Mostly runs and short repeats: many overlapping copies at distances 1 to 7.
inline std::string runs_data(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    unsigned period = 1 + rng() % 7;
    std::string unit;
    for (unsigned i = 0; i < period; ++i) unit.push_back(char('a' + rng() % 26));
    unsigned reps = 1 + rng() % 60;
    for (unsigned i = 0; i < reps; ++i) s += unit;
  }
  s.resize(n);
  return s;
}

/// Writes deflate bits least significant first; Huffman codes go in with
/// their first bit first.
class BitWriter {
 public:
  void bits(std::uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) push((value >> i) & 1);
  }
  void code(std::uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) push((code >> i) & 1);
  }
  void align() {
    while (nbits_ != 0) push(0);
  }
  void byte(std::uint8_t b) { bits(b, 8); }
  std::string finish() {
    align();
    return out_;
  }

 private:
  void push(unsigned bit) {
    cur_ |= bit << nbits_;
    if (++nbits_ == 8) {
      out_.push_back(char(cur_));
      cur_ = 0;
      nbits_ = 0;
    }
  }
  std::string out_;
  unsigned cur_ = 0, nbits_ = 0;
};

/// Canonical codes for a set of lengths (0 = symbol absent).
inline std::vector<std::uint32_t> canonical_codes(const std::vector<int>& lengths) {
  int count[16] = {};
  for (int l : lengths) ++count[l];
  count[0] = 0;
  std::uint32_t next[16] = {};
  std::uint32_t code = 0;
  for (int l = 1; l < 16; ++l) {
    code = (code + std::uint32_t(count[l - 1])) << 1;
    next[l] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i]) codes[i] = next[lengths[i]]++;
  return codes;
}

/// Fixed-code symbols, for hand-made blocks.
struct FixedCoder {
  std::vector<int> lit_len = [] {
    std::vector<int> l(288);
    for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return l;
  }();
  std::vector<std::uint32_t> lit = canonical_codes(lit_len);

  void literal(BitWriter& w, unsigned symbol) { w.code(lit[symbol], unsigned(lit_len[symbol])); }
  void end(BitWriter& w) { literal(w, 256); }
  /// A match; LENGTH 3..258, DISTANCE 1..32768.
  void match(BitWriter& w, unsigned length, unsigned distance) {
    static const unsigned lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const unsigned dbase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,   25,
                                       33,   49,   65,   97,   129,  193,   257,   385,   513,  769,
                                       1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const unsigned dextra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int li = 28;
    while (lbase[li] > length) --li;
    if (length == 258) li = 28;
    else if (li == 28) li = 27;
    literal(w, 257 + unsigned(li));
    w.bits(length - lbase[li], lextra[li]);
    int di = 29;
    while (dbase[di] > distance) --di;
    w.code(unsigned(di), 5);
    w.bits(distance - dbase[di], dextra[di]);
  }
};

/// Reference model of the engine's output window: 32 KiB, circular, kept
/// between members and files. Gives the bytes a match produces.
struct WindowModel {
  std::vector<std::uint8_t> win = std::vector<std::uint8_t>(32768, 0);
  unsigned pos = 0;
  std::string out;
  void put(std::uint8_t b) {
    win[pos] = b;
    pos = (pos + 1) & 32767;
    out.push_back(char(b));
  }
  void copy(unsigned length, unsigned distance) {
    for (unsigned i = 0; i < length; ++i) put(win[(pos - distance) & 32767]);
  }
  /// The engine's write position restarts at 0 with every member.
  void new_member() {
    pos = 0;
    out.clear();
  }
};

}  // namespace engine_test
