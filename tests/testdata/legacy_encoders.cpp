#include "testdata/legacy_encoders.h"

#include <algorithm>
#include <queue>
#include <stdexcept>

namespace legacy {

// ---- .Z -------------------------------------------------------------------

LzwCodeWriter::LzwCodeWriter(std::uint8_t flags) : out_{0x1F, 0x9D, flags} {}

void LzwCodeWriter::put(std::uint32_t code) {
  const std::size_t need = 3 + (bit_ + width_ + 7) / 8;
  if (out_.size() < need) out_.resize(need, 0);
  for (int i = 0; i < width_; ++i, ++bit_) {
    if (code >> i & 1) out_[3 + bit_ / 8] |= static_cast<std::uint8_t>(1u << (bit_ % 8));
  }
}

void LzwCodeWriter::change_width(int width) {
  const std::uint64_t group = static_cast<std::uint64_t>(width_) * 8;
  const std::uint64_t used = bit_ - run_start_;
  bit_ = run_start_ + (used + group - 1) / group * group;
  run_start_ = bit_;
  width_ = width;
  // The padding is part of the file: the reader skips it, it does not
  // expect the data to end there.
  if (out_.size() < 3 + bit_ / 8) out_.resize(3 + bit_ / 8, 0);
}

Bytes LzwCodeWriter::finish() {
  out_.resize(3 + (bit_ + 7) / 8, 0);
  return out_;
}

Bytes lzw_encode(const Bytes& data, const LzwOptions& o) {
  const std::uint8_t flags =
      static_cast<std::uint8_t>((o.block_mode ? 0x80 : 0) | o.max_width | o.extra_flags);
  LzwCodeWriter writer(flags);
  if (data.empty()) return writer.finish();

  const std::uint32_t limit = 1u << o.max_width;
  const std::uint32_t first_free = o.block_mode ? 257 : 256;
  // Open-addressing table from (prefix code, byte) to code; 2^18 slots
  // hold the at most 65,536 entries at a low load.
  constexpr std::uint32_t kSlots = 1u << 18;
  // A slot counts only when stamped with the current generation, so a clear
  // empties the table by starting a new generation.
  std::vector<std::uint32_t> keys(kSlots, 0), values(kSlots, 0), stamps(kSlots, 0);
  std::uint32_t generation = 1;
  auto slot_of = [&](std::uint32_t key) {
    std::uint32_t h = (key * 2654435761u) >> 14;
    while (stamps[h] == generation && keys[h] != key) h = (h + 1) & (kSlots - 1);
    return h;
  };
  std::uint32_t encoder_free = first_free;

  // The reader makes each entry one code later than the writer does; the
  // width follows the reader's count, so mirror it here.
  std::uint32_t reader_free = first_free;
  bool reader_has_previous = false;
  std::uint32_t growth_limit = 511;
  int width = 9;
  auto emit = [&](std::uint32_t code) {
    if (reader_free > growth_limit) {
      ++width;
      growth_limit = width == o.max_width ? limit : (1u << width) - 1;
      writer.change_width(width);
    }
    writer.put(code);
    if (!reader_has_previous) {
      reader_has_previous = true;
    } else if (reader_free < limit) {
      ++reader_free;
    }
  };
  auto emit_clear = [&] {
    if (reader_free > growth_limit) {
      ++width;
      growth_limit = width == o.max_width ? limit : (1u << width) - 1;
      writer.change_width(width);
    }
    writer.put(256);
    reader_free = 256;
    width = 9;
    growth_limit = 511;
    writer.change_width(9);
    ++generation;
    encoder_free = 257;
  };

  std::uint32_t current = data[0];
  int codes_since_clear = 0;
  for (std::size_t i = 1; i < data.size(); ++i) {
    const std::uint32_t key = current << 8 | data[i];
    const std::uint32_t slot = slot_of(key);
    if (stamps[slot] == generation) {
      current = values[slot];
      continue;
    }
    emit(current);
    ++codes_since_clear;
    if (encoder_free < limit) {
      keys[slot] = key;
      stamps[slot] = generation;
      values[slot] = encoder_free++;
    }
    current = data[i];
    if (o.block_mode && ((o.clear_every > 0 && codes_since_clear >= o.clear_every) ||
                         (o.clear_when_full && encoder_free >= limit))) {
      emit_clear();
      codes_since_clear = 0;
    }
  }
  emit(current);
  return writer.finish();
}

// ---- Huffman lengths ------------------------------------------------------

std::vector<int> huffman_lengths(const std::vector<std::uint64_t>& frequencies, int limit) {
  std::vector<std::uint64_t> freq = frequencies;
  const std::size_t n = freq.size();
  for (;;) {
    std::vector<int> lengths(n, 0);
    using Item = std::pair<std::uint64_t, int>;  // weight, node
    std::priority_queue<Item, std::vector<Item>, std::greater<>> heap;
    std::vector<int> parent;
    for (std::size_t i = 0; i < n; ++i) {
      if (freq[i] > 0) heap.emplace(freq[i], static_cast<int>(i));
    }
    if (heap.size() < 2) {
      if (!heap.empty()) lengths[heap.top().second] = 1;
      return lengths;
    }
    parent.assign(n, -1);
    while (heap.size() > 1) {
      const Item a = heap.top();
      heap.pop();
      const Item b = heap.top();
      heap.pop();
      const int node = static_cast<int>(parent.size());
      parent.push_back(-1);
      parent[a.second] = node;
      parent[b.second] = node;
      heap.emplace(a.first + b.first, node);
    }
    int longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (freq[i] == 0) continue;
      int depth = 0;
      for (int p = parent[i]; p != -1; p = parent[p]) ++depth;
      lengths[i] = depth;
      longest = std::max(longest, depth);
    }
    if (longest <= limit) return lengths;
    for (auto& f : freq) {
      if (f > 0) f = std::max<std::uint64_t>(1, f / 2);
    }
  }
}

// ---- bit writer -----------------------------------------------------------

void MsbBitWriter::put(std::uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    pending_ = pending_ << 1 | (value >> i & 1);
    if (++pending_bits_ == 8) {
      out_.push_back(static_cast<std::uint8_t>(pending_));
      pending_ = 0;
      pending_bits_ = 0;
    }
  }
}

Bytes MsbBitWriter::finish() {
  if (pending_bits_ > 0) put(0, 8 - pending_bits_);
  return out_;
}

// ---- pack -----------------------------------------------------------------

Bytes pack_header(std::uint32_t expected_length, const std::vector<int>& sent_counts,
                  const Bytes& leaf_bytes) {
  Bytes out{0x1F, 0x1E};
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(expected_length >> shift));
  out.push_back(static_cast<std::uint8_t>(sent_counts.size()));
  for (int c : sent_counts) out.push_back(static_cast<std::uint8_t>(c));
  out.insert(out.end(), leaf_bytes.begin(), leaf_bytes.end());
  return out;
}

Bytes pack_encode_with_lengths(const Bytes& data, const std::vector<int>& lengths) {
  constexpr int kEnd = 256;
  const int longest = *std::max_element(lengths.begin(), lengths.end());
  if (lengths.at(kEnd) != longest) throw std::invalid_argument("end code must be longest");

  // Leaves in the order they are sent: by length, bytes in value order, the
  // end code last at the longest length.
  std::vector<std::vector<int>> by_length(longest + 1);
  for (int s = 0; s < 256; ++s) {
    if (lengths[s] > 0) by_length[lengths[s]].push_back(s);
  }
  by_length[longest].push_back(kEnd);

  std::vector<int> parents(longest + 1, 0);
  int nodes = 0;
  for (int len = longest; len >= 1; --len) {
    nodes /= 2;
    parents[len] = nodes;
    nodes += static_cast<int>(by_length[len].size());
  }
  std::vector<std::uint32_t> code(257, 0);
  std::vector<int> sent_counts;
  Bytes leaf_bytes;
  for (int len = 1; len <= longest; ++len) {
    const auto& leaves = by_length[len];
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      code[leaves[i]] = static_cast<std::uint32_t>(parents[len] + static_cast<int>(i));
      if (leaves[i] != kEnd) leaf_bytes.push_back(static_cast<std::uint8_t>(leaves[i]));
    }
    sent_counts.push_back(static_cast<int>(leaves.size()) - (len == longest ? 2 : 0));
  }

  Bytes out = pack_header(static_cast<std::uint32_t>(data.size()), sent_counts, leaf_bytes);
  MsbBitWriter bits;
  bits.bytes() = std::move(out);
  for (std::uint8_t b : data) {
    if (lengths[b] == 0) throw std::invalid_argument("byte without a code");
    bits.put(code[b], lengths[b]);
  }
  bits.put(code[kEnd], longest);
  return bits.finish();
}

Bytes pack_encode(const Bytes& data) {
  std::vector<std::uint64_t> freq(257, 0);
  for (std::uint8_t b : data) ++freq[b];
  freq[256] = 1;
  if (data.empty()) freq[0] = 1;  // a code needs two leaves
  std::vector<int> lengths = huffman_lengths(freq, 25);
  const int longest = *std::max_element(lengths.begin(), lengths.end());
  if (lengths[256] != longest) {
    for (int s = 0; s < 256; ++s) {
      if (lengths[s] == longest) {
        std::swap(lengths[s], lengths[256]);
        break;
      }
    }
  }
  return pack_encode_with_lengths(data, lengths);
}

// ---- LZH ------------------------------------------------------------------

namespace {

constexpr int kLitLen = 510;
constexpr int kLengthCodes = 19;
constexpr int kPositions = 14;
constexpr std::uint32_t kWindow = 8192;
constexpr int kMaxMatch = 256;
constexpr int kMinMatch = 3;

struct Token {
  std::uint16_t symbol;    // 0..255 literal, 256..509 match
  std::uint16_t position;  // match distance - 1
};

std::vector<Token> lz77(const Bytes& data, bool matches, std::size_t max_distance) {
  std::vector<Token> tokens;
  tokens.reserve(data.size() / 2);
  constexpr int kHashBits = 15;
  std::vector<std::int64_t> head(1u << kHashBits, -1);
  std::vector<std::int64_t> prev(data.size(), -1);
  auto hash = [&](std::size_t i) {
    return ((data[i] << 10) ^ (data[i + 1] << 5) ^ data[i + 2]) & ((1u << kHashBits) - 1);
  };
  auto insert = [&](std::size_t i) {
    if (i + 2 >= data.size()) return;
    const auto h = hash(i);
    prev[i] = head[h];
    head[h] = static_cast<std::int64_t>(i);
  };
  std::size_t i = 0;
  while (i < data.size()) {
    int best = 0;
    std::size_t best_distance = 0;
    if (matches && i + kMinMatch <= data.size()) {
      const int most = static_cast<int>(std::min<std::size_t>(kMaxMatch, data.size() - i));
      std::int64_t candidate = head[hash(i)];
      for (int chain = 0; chain < 48 && candidate >= 0; ++chain) {
        const std::size_t distance = i - static_cast<std::size_t>(candidate);
        if (distance > max_distance) break;
        int len = 0;
        while (len < most && data[candidate + len] == data[i + len]) ++len;
        if (len > best) {
          best = len;
          best_distance = distance;
          if (len == most) break;
        }
        candidate = prev[candidate];
      }
    }
    if (best >= kMinMatch) {
      tokens.push_back({static_cast<std::uint16_t>(256 + best - kMinMatch),
                        static_cast<std::uint16_t>(best_distance - 1)});
      for (int k = 0; k < best; ++k) insert(i + k);
      i += best;
    } else {
      tokens.push_back({data[i], 0});
      insert(i);
      ++i;
    }
  }
  return tokens;
}

int position_class(unsigned position) {
  int bits = 0;
  while (position >> bits) ++bits;
  return bits;  // 0 for 0, else the bit length
}

// Left-aligned canonical codes: shorter lengths take the lower values,
// symbols of one length follow their order.
std::vector<std::uint32_t> canonical_codes(const std::vector<int>& lengths) {
  std::uint32_t count[17] = {};
  for (int len : lengths) ++count[len];
  std::uint32_t start[18] = {};
  for (int len = 1; len <= 16; ++len) start[len + 1] = start[len] + (count[len] << (16 - len));
  std::vector<std::uint32_t> codes(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    codes[s] = start[len] >> (16 - len);
    start[len] += 1u << (16 - len);
  }
  return codes;
}

int used_symbols(const std::vector<std::uint64_t>& freq, int* only) {
  int used = 0;
  *only = 0;
  for (std::size_t s = 0; s < freq.size(); ++s) {
    if (freq[s] > 0) {
      ++used;
      *only = static_cast<int>(s);
    }
  }
  return used;
}

void write_short_lengths(MsbBitWriter& w, const std::vector<int>& lengths, int count_bits,
                         int special) {
  int n = static_cast<int>(lengths.size());
  while (n > 0 && lengths[n - 1] == 0) --n;
  w.put(static_cast<std::uint32_t>(n), count_bits);
  int i = 0;
  while (i < n) {
    const int len = lengths[i++];
    if (len <= 6) {
      w.put(static_cast<std::uint32_t>(len), 3);
    } else {
      w.put((1u << (len - 3)) - 2, len - 3);
    }
    if (i == special) {
      int k = i;
      while (k < 6 && (k >= n || lengths[k] == 0)) ++k;
      w.put(static_cast<std::uint32_t>(k - i), 2);
      i = k;
    }
  }
}

// The literal/length lengths as length codes: 0 one zero, 1 a run of 3-18
// zeros (+4 bits), 2 a run of 20-531 zeros (+9 bits), 3-18 lengths 1-16.
struct LengthCode {
  int code;
  int extra_bits;
  std::uint32_t extra;
};

std::vector<LengthCode> length_codes(const std::vector<int>& lengths) {
  int n = kLitLen;
  while (n > 0 && lengths[n - 1] == 0) --n;
  std::vector<LengthCode> out;
  int i = 0;
  while (i < n) {
    const int len = lengths[i++];
    if (len != 0) {
      out.push_back({len + 2, 0, 0});
      continue;
    }
    int run = 1;
    while (i < n && lengths[i] == 0) {
      ++i;
      ++run;
    }
    if (run <= 2) {
      for (int k = 0; k < run; ++k) out.push_back({0, 0, 0});
    } else if (run <= 18) {
      out.push_back({1, 4, static_cast<std::uint32_t>(run - 3)});
    } else if (run == 19) {
      out.push_back({0, 0, 0});
      out.push_back({1, 4, 15});
    } else {
      out.push_back({2, 9, static_cast<std::uint32_t>(run - 20)});
    }
  }
  return out;
}

void write_block(MsbBitWriter& w, const Token* tokens, std::size_t count, const LzhOptions& o) {
  std::vector<std::uint64_t> litlen_freq(kLitLen, 0), position_freq(kPositions, 0);
  for (std::size_t k = 0; k < count; ++k) {
    ++litlen_freq[tokens[k].symbol];
    if (tokens[k].symbol >= 256) ++position_freq[position_class(tokens[k].position)];
  }
  w.put(static_cast<std::uint32_t>(count), 16);

  int only_litlen = 0;
  const bool litlen_single = used_symbols(litlen_freq, &only_litlen) < 2;
  std::vector<int> litlen_lengths(kLitLen, 0);
  if (!litlen_single) litlen_lengths = huffman_lengths(litlen_freq, 16);

  // Length-code set, then the literal/length lengths through it.
  if (litlen_single) {
    w.put(0, 5);
    w.put(0, 5);
    w.put(0, 9);
    w.put(static_cast<std::uint32_t>(only_litlen), 9);
  } else {
    const auto codes = length_codes(litlen_lengths);
    std::vector<std::uint64_t> code_freq(kLengthCodes, 0);
    for (const auto& c : codes) ++code_freq[c.code];
    int only_code = 0;
    const bool code_single = used_symbols(code_freq, &only_code) < 2;
    std::vector<int> code_lengths(kLengthCodes, 0);
    if (code_single) {
      w.put(0, 5);
      w.put(static_cast<std::uint32_t>(only_code), 5);
    } else {
      code_lengths = huffman_lengths(code_freq, 16);
      write_short_lengths(w, code_lengths, 5, 3);
    }
    const auto code_bits = canonical_codes(code_lengths);
    int n = kLitLen;
    while (n > 0 && litlen_lengths[n - 1] == 0) --n;
    w.put(static_cast<std::uint32_t>(n), 9);
    for (const auto& c : codes) {
      if (!code_single) w.put(code_bits[c.code], code_lengths[c.code]);
      if (c.extra_bits) w.put(c.extra, c.extra_bits);
    }
  }

  int only_position = 0;
  std::vector<int> position_lengths(kPositions, 0);
  bool position_single = false;
  if (o.position_lengths) {
    position_lengths = *o.position_lengths;
    write_short_lengths(w, position_lengths, 4, -1);
  } else if (used_symbols(position_freq, &only_position) < 2) {
    position_single = true;
    w.put(0, 4);
    w.put(static_cast<std::uint32_t>(only_position), 4);
  } else {
    position_lengths = huffman_lengths(position_freq, 16);
    write_short_lengths(w, position_lengths, 4, -1);
  }

  const auto litlen_codes = canonical_codes(litlen_lengths);
  const auto position_codes = canonical_codes(position_lengths);
  for (std::size_t k = 0; k < count; ++k) {
    const Token& t = tokens[k];
    if (!litlen_single) w.put(litlen_codes[t.symbol], litlen_lengths[t.symbol]);
    if (t.symbol < 256) continue;
    const int cls = position_class(t.position);
    if (!position_single) w.put(position_codes[cls], position_lengths[cls]);
    if (cls > 1) w.put(t.position - (1u << (cls - 1)), cls - 1);
  }
}

}  // namespace

Bytes lzh_encode(const Bytes& data, const LzhOptions& o) {
  MsbBitWriter w;
  w.bytes() = {0x1F, 0xA0};
  const std::vector<Token> tokens = lz77(data, o.matches, std::min<std::size_t>(o.max_distance, kWindow));
  for (std::size_t at = 0; at < tokens.size(); at += o.block_symbols) {
    write_block(w, tokens.data() + at, std::min<std::size_t>(o.block_symbols, tokens.size() - at), o);
  }
  if (o.end_marker) w.put(0, 16);
  return w.finish();
}

// ---- sample data ----------------------------------------------------------

namespace {
struct Lcg {
  std::uint32_t state;
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};
}  // namespace

Bytes sample_text(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {
      "the", "racing", "client", "update", "server", "notice", "version", "file", "track",
      "engine", "lap", "driver", "speed", "of", "and", "to", "a", "in", "is", "checkpoint",
      "garage", "tyre", "boost", "drift", "ranking", "season", "player", "channel", "map"};
  Lcg rng{seed};
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* word = kWords[rng.next() % (sizeof(kWords) / sizeof(kWords[0]))];
    while (*word) out.push_back(static_cast<std::uint8_t>(*word++));
    const std::uint32_t r = rng.next() % 40;
    out.push_back(r == 0 ? '\n' : r == 1 ? ',' : r == 2 ? '.' : ' ');
    if (r == 3) {
      for (int d = rng.next() % 5; d >= 0; --d) out.push_back(static_cast<std::uint8_t>('0' + rng.next() % 10));
      out.push_back(' ');
    }
  }
  out.resize(size);
  return out;
}

Bytes sample_binary(std::size_t size, std::uint32_t seed) {
  Lcg rng{seed};
  Bytes out;
  out.reserve(size + 32);
  std::uint32_t counter = 0;
  while (out.size() < size) {
    // A 24-byte record: counter, a few small fields, some noise.
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(counter >> (8 * k)));
    ++counter;
    for (int k = 0; k < 8; ++k) out.push_back(static_cast<std::uint8_t>(rng.next() % 4));
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(rng.next()));
    for (int k = 0; k < 8; ++k) out.push_back(static_cast<std::uint8_t>(k * 17));
  }
  out.resize(size);
  return out;
}

Bytes sample_mixed(std::size_t size) {
  Bytes data;
  data.reserve(size + 1000000);
  for (std::uint32_t part = 0; data.size() < size; ++part) {
    const Bytes text = sample_text(600000, part + 1);
    const Bytes binary = sample_binary(400000, part + 1000);
    data.insert(data.end(), text.begin(), text.end());
    data.insert(data.end(), binary.begin(), binary.end());
  }
  data.resize(size);
  return data;
}

}  // namespace legacy
