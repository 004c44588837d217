#include "testdata/deflate_data.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

namespace testdata {

std::string zlib_deflate(const std::string& data, int level, int strategy) {
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

std::uint32_t crc_of(const std::string& data) {
  return std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

void put_le16(std::string& s, std::uint32_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char((v >> 8) & 0xFF));
}

void put_le32(std::string& s, std::uint32_t v) {
  put_le16(s, v & 0xFFFF);
  put_le16(s, v >> 16);
}

std::string gzip_header(const GzipHeader& h) {
  std::string s;
  s.push_back(char(0x1F));
  s.push_back(char(h.magic2));
  s.push_back(char(h.method));
  s.push_back(char(h.flags));
  put_le32(s, h.mtime);
  s.push_back(char(0));  // extra flags
  s.push_back(char(3));  // operating system
  if (h.flags & 0x04) {
    put_le16(s, std::uint32_t(h.extra.size()));
    s += h.extra;
  }
  if (h.flags & 0x08) s += h.name + std::string(1, '\0');
  if (h.flags & 0x10) s += h.comment + std::string(1, '\0');
  return s;
}

std::string gzip_member(const std::string& plain, const std::string& deflated, const GzipHeader& h) {
  std::string s = gzip_header(h) + deflated;
  put_le32(s, crc_of(plain));
  put_le32(s, std::uint32_t(plain.size()));
  return s;
}

std::string gzip_of(const std::string& plain, int level, const GzipHeader& h) {
  return gzip_member(plain, zlib_deflate(plain, level), h);
}

std::string gunzip_members(const std::string& stream) {
  std::string out;
  std::size_t at = 0;
  while (at < stream.size()) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return "<zlib init failed>";
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data() + at));
    z.avail_in = static_cast<uInt>(stream.size() - at);
    int status = Z_OK;
    char chunk[65536];
    while (status == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(chunk);
      z.avail_out = sizeof chunk;
      status = inflate(&z, Z_NO_FLUSH);
      out.append(chunk, sizeof chunk - z.avail_out);
    }
    at = stream.size() - z.avail_in;
    inflateEnd(&z);
    if (status != Z_STREAM_END) return "<damaged gzip stream>";
  }
  return out;
}

std::string zip_entry(const std::string& plain, int method, int flags, const std::string& name,
                      const std::string& extra) {
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

std::string text_data(std::size_t n, unsigned seed) {
  static const char* words[] = {"the ",   "engine ",  "window ", "of ",      "data ", "and ",
                                "a ",     "mirvale ", "update ", "server ",  "file ", "\n",
                                "block ", "32768 ",   "length ", "distance "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[std::min<unsigned>(unsigned(rng() % 40) / 2, 15)];
  s.resize(n);
  return s;
}

std::string noise_data(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

std::string runs_data(std::size_t n, unsigned seed) {
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

void append_text(std::string& out, std::size_t bytes, std::mt19937& rng) {
  static std::vector<std::string> vocabulary;
  if (vocabulary.empty()) {
    std::mt19937 vr(7);
    const char* syllables[] = {"ka", "ri",  "mo", "ven", "al", "tor", "is", "e",  "un", "sha",
                               "ly", "dra", "o",  "th",  "er", "qu",  "st", "ng", "pa", "zi"};
    for (int i = 0; i < 4000; ++i) {
      std::string w;
      int n = 1 + int(vr() % 4);
      for (int k = 0; k < n; ++k) w += syllables[vr() % 20];
      vocabulary.push_back(w);
    }
  }
  std::size_t end = out.size() + bytes;
  std::exponential_distribution<double> pick(1.0 / 300.0);
  int column = 0;
  while (out.size() < end) {
    std::size_t idx = std::min<std::size_t>(std::size_t(pick(rng)), vocabulary.size() - 1);
    const std::string& w = vocabulary[idx];
    out += w;
    column += int(w.size()) + 1;
    unsigned r = rng() % 100;
    if (r < 6)
      out += ',';
    else if (r < 10)
      out += '.';
    else if (r < 11)
      out += std::to_string(rng() % 100000);
    if (column > 72) {
      out += '\n';
      column = 0;
    } else {
      out += ' ';
    }
  }
  out.resize(end);
}

void append_binary(std::string& out, std::size_t bytes, std::mt19937& rng) {
  std::size_t end = out.size() + bytes;
  std::uint32_t id = std::uint32_t(rng());
  while (out.size() < end) {
    unsigned char rec[48];
    std::uint32_t fields[6] = {id++,
                               std::uint32_t(rng() % 64),
                               std::uint32_t(rng() % 1000),
                               std::uint32_t(0x3F800000u + (rng() % 4096)),
                               std::uint32_t(rng() & 0xFF00FF00u),
                               std::uint32_t(rng())};
    std::memcpy(rec, fields, sizeof fields);
    for (int i = 24; i < 48; ++i) rec[i] = (rng() % 4 == 0) ? std::uint8_t(rng()) : std::uint8_t(i);
    out.append(reinterpret_cast<char*>(rec), sizeof rec);
  }
  out.resize(end);
}

std::string mixed_data(std::size_t total) {
  std::mt19937 rng(12345);
  std::string data;
  data.reserve(total + 64);
  bool text = true;
  while (data.size() < total) {
    std::size_t chunk = std::min<std::size_t>(total - data.size(), (1 + rng() % 4) << 20);
    if (text)
      append_text(data, chunk, rng);
    else
      append_binary(data, chunk, rng);
    text = !text;
  }
  return data;
}

void BitWriter::bits(std::uint32_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) push((value >> i) & 1);
}

void BitWriter::code(std::uint32_t code, unsigned length) {
  for (unsigned i = length; i-- > 0;) push((code >> i) & 1);
}

void BitWriter::align() {
  while (nbits_ != 0) push(0);
}

std::string BitWriter::finish() {
  align();
  return out_;
}

void BitWriter::push(unsigned bit) {
  cur_ |= bit << nbits_;
  if (++nbits_ == 8) {
    out_.push_back(char(cur_));
    cur_ = 0;
    nbits_ = 0;
  }
}

std::vector<std::uint32_t> canonical_codes(const std::vector<int>& lengths) {
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

FixedCoder::FixedCoder() : lengths_(288) {
  for (int i = 0; i < 288; ++i) lengths_[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  codes_ = canonical_codes(lengths_);
}

void FixedCoder::literal(BitWriter& w, unsigned symbol) const {
  w.code(codes_[symbol], unsigned(lengths_[symbol]));
}

void FixedCoder::match(BitWriter& w, unsigned length, unsigned distance) const {
  static const unsigned lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const unsigned lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  static const unsigned dbase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                     33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                     1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  static const unsigned dextra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  int li = 28;
  while (lbase[li] > length) --li;
  if (length == 258)
    li = 28;
  else if (li == 28)
    li = 27;
  literal(w, 257 + unsigned(li));
  w.bits(length - lbase[li], lextra[li]);
  int di = 29;
  while (dbase[di] > distance) --di;
  w.code(unsigned(di), 5);
  w.bits(distance - dbase[di], dextra[di]);
}

void WindowModel::put(std::uint8_t b) {
  win[pos] = b;
  pos = (pos + 1) & 32767;
  out.push_back(char(b));
}

void WindowModel::copy(unsigned length, unsigned distance) {
  for (unsigned i = 0; i < length; ++i) put(win[(pos - distance) & 32767]);
}

void WindowModel::new_member() {
  pos = 0;
  out.clear();
}

}  // namespace testdata
