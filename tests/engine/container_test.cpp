// Container recognition and member checks: gzip header fields and
// refusals, PKZIP entries, several members, trailing bytes, CRC and length,
// and truncation anywhere in a file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine_test_support.h"
#include "testdata/deflate_data.h"

namespace {

using namespace engine_test;
using namespace testdata;

struct Outcome {
  EngineRun run;
  std::vector<std::string> left;
  std::string output;
};

Outcome run_on(const std::string& bytes, const std::string& name = "t.gz",
               const std::string& out_name = "t") {
  TempDir dir;
  write_file(name, bytes);
  Outcome o;
  o.run = run_engine(name);
  o.left = dir.entries();
  if (std::filesystem::exists(out_name)) o.output = read_file(out_name);
  return o;
}

using Names = std::vector<std::string>;

/// A file the engine refuses before writing anything, with its message.
struct RefusalCase {
  std::string name;
  std::string file;
  std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, LeaveNoOutputAndKeepTheInput) {
  Outcome o = run_on(GetParam().file);
  EXPECT_FALSE(o.run.ended) << o.run.err;
  EXPECT_EQ(o.run.result, 1);
  EXPECT_EQ(o.run.err, GetParam().message);
  EXPECT_EQ(o.left, Names{"t.gz"});
}

std::string gzip_with(int method, int flags, const std::string& name = "") {
  GzipHeader h;
  h.method = method;
  h.flags = flags;
  h.name = name;
  return gzip_member("hello", zlib_deflate("hello"), h);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Refusals,
    testing::Values(
        RefusalCase{"UnknownMethod", gzip_with(7, 0),
                    "decompress: t.gz: unknown method 7 -- not supported\n"},
        RefusalCase{"Encrypted", gzip_with(8, 0x20), "decompress: t.gz is encrypted -- not supported\n"},
        // Encryption is reported, not the continuation.
        RefusalCase{"EncryptedMultiPart", gzip_with(8, 0x22),
                    "decompress: t.gz is encrypted -- not supported\n"},
        RefusalCase{"MultiPart", gzip_with(8, 0x02),
                    "decompress: t.gz is a multi-part gzip file -- not supported\n"},
        RefusalCase{"ReservedFlag40", gzip_with(8, 0x40),
                    "decompress: t.gz has flags 0x40 -- not supported\n"},
        RefusalCase{"ReservedFlag80WithName", gzip_with(8, 0x88, "n"),
                    "decompress: t.gz has flags 0x88 -- not supported\n"},
        RefusalCase{"NoKnownMagic", "this is no container at all",
                    "\ndecompress: t.gz: not in gzip format\n"},
        RefusalCase{"ZipMethodNotDeflatedOrStored", zip_entry("plain text", 12),
                    "\ndecompress: t.gz: first entry not deflated or stored -- not supported\n"},
        RefusalCase{"ZipEncrypted", zip_entry("plain text", 8, 1),
                    "\ndecompress: t.gz: encrypted file -- not supported\n"},
        // Name and extra field longer than the first buffer fill.
        RefusalCase{"ZipHeaderBeyondTheFirstFill", zip_entry("x", 0, 0, std::string(40000, 'n')),
                    "\ndecompress: t.gz: not a valid zip file\n"},
        // Fewer bytes than a local header: the fields cannot be trusted.
        RefusalCase{"ZipHeaderCutShort", std::string("PK\x03\x04\x14\0\0\0", 8),
                    "\ndecompress: t.gz: not a valid zip file\n"},
        // A second entry: refused after decoding the first, output removed.
        RefusalCase{"ZipSecondEntry", zip_entry(text_data(50000), 8) + zip_entry("second", 0),
                    "decompress: t.gz has more than one entry -- unchanged\n"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(Container, HeaderFieldsAreSkippedAndTheOldMagicIsAccepted) {
  std::string plain = text_data(5000);
  GzipHeader h;
  h.magic2 = 0x9E;
  h.flags = 0x01 | 0x04 | 0x08 | 0x10;
  h.extra = std::string(300, 'x');
  h.name = "stored-name.txt";
  h.comment = "a comment";
  Outcome o = run_on(gzip_member(plain, zlib_deflate(plain), h));
  EXPECT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_EQ(o.left, Names{"t"}) << "the stored name is never used";
  EXPECT_TRUE(o.output == plain);
}

TEST(Container, MembersAreConcatenatedEachCheckedAgainstItsTrailer) {
  std::string a = text_data(70000, 1), b = noise_data(3, 2), c = text_data(40000, 3);
  GzipHeader old_magic;
  old_magic.magic2 = 0x9E;
  std::string gz = gzip_of(a, 9) + gzip_of(b, 0, old_magic) + gzip_of("", 6) + gzip_of(c, 1);
  Outcome o = run_on(gz);
  EXPECT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == a + b + c);

  // A bad CRC in the last member still ends everything, output removed.
  std::string bad = gzip_of(a, 6) + gzip_of(c, 6);
  bad[bad.size() - 8] ^= 1;
  o = run_on(bad);
  EXPECT_TRUE(o.run.ended);
  EXPECT_EQ(o.run.status, 1);
  EXPECT_EQ(o.left, Names{"t.gz"});
  EXPECT_NE(o.run.err.find("\ndecompress: t.gz: invalid compressed data--crc error\n"),
            std::string::npos);
}

TEST(Container, CrcIsCheckedBeforeLength) {
  std::string plain = text_data(1000);
  std::string gz = gzip_of(plain);
  std::string length_only = gz;
  length_only[gz.size() - 4] ^= 1;
  Outcome o = run_on(length_only);
  EXPECT_TRUE(o.run.ended);
  EXPECT_NE(o.run.err.find("invalid compressed data--length error"), std::string::npos);
  EXPECT_EQ(o.left, Names{"t.gz"});

  std::string both = length_only;
  both[gz.size() - 8] ^= 1;
  o = run_on(both);
  EXPECT_TRUE(o.run.ended);
  EXPECT_NE(o.run.err.find("invalid compressed data--crc error"), std::string::npos);
  EXPECT_EQ(o.run.err.find("length error"), std::string::npos);
}

/// Bytes after a complete member.
struct TrailingCase {
  std::string name;
  std::string junk;
};

void PrintTo(const TrailingCase& c, std::ostream* os) { *os << c.name; }

class TrailingBytes : public testing::TestWithParam<TrailingCase> {};

// Two or more: a warning, quietly; output complete, input removed.
TEST_P(TrailingBytes, AreAQuietWarning) {
  const std::string plain = text_data(3000);
  Outcome o = run_on(gzip_of(plain) + GetParam().junk);
  EXPECT_FALSE(o.run.ended) << o.run.err;
  EXPECT_EQ(o.run.result, 2);
  EXPECT_EQ(o.run.err, "");
  EXPECT_EQ(o.left, Names{"t"});
  EXPECT_TRUE(o.output == plain);
}

INSTANTIATE_TEST_SUITE_P(
    AfterTheLastMember, TrailingBytes,
    testing::Values(TrailingCase{"TwoBytes", "xy"}, TrailingCase{"HundredZeros", std::string(100, '\0')},
                    // "PK\3\4" is only an archive at the start of a file.
                    TrailingCase{"ZipSignature", "PK\x03\x04zzzz"}),
    [](const testing::TestParamInfo<TrailingCase>& info) { return info.param.name; });

TEST(Container, OneTrailingByteIsTheEndOfInput) {
  // The second magic byte of a next member cannot be read.
  Outcome o = run_on(gzip_of(text_data(3000)) + "x");
  EXPECT_TRUE(o.run.ended);
  EXPECT_NE(o.run.err.find("t.gz: unexpected end of file"), std::string::npos) << o.run.err;
  EXPECT_EQ(o.left, Names{"t.gz"});
}

TEST(Container, TruncationAnywhereIsFatalAndKeepsTheInput) {
  std::string plain = text_data(2000) + noise_data(300);
  GzipHeader h;
  h.flags = 0x04 | 0x08 | 0x10;
  h.extra = "ex";
  h.name = "name";
  h.comment = "c";
  std::string gz = gzip_member(plain, zlib_deflate(plain), h);
  // Every proper prefix: header, data and trailer regions alike.
  for (std::size_t n = 0; n < gz.size(); ++n) {
    Outcome o = run_on(gz.substr(0, n));
    ASSERT_TRUE(o.run.ended) << "prefix " << n << " returned " << o.run.result;
    ASSERT_EQ(o.run.status, 1);
    ASSERT_EQ(o.left, Names{"t.gz"}) << "prefix " << n;
    ASSERT_NE(o.run.err.find("decompress: t.gz: unexpected end of file"), std::string::npos)
        << "prefix " << n << ": " << o.run.err;
  }
}

TEST(Container, PkzipEntries) {
  std::string plain = text_data(50000);
  for (int method : {0, 8}) {
    Outcome o = run_on(zip_entry(plain, method) + "PK\x01\x02 central directory...", "a.zip.gz",
                       "a.zip");
    EXPECT_EQ(o.run.result, 0) << method << ": " << o.run.err;
    EXPECT_TRUE(o.output == plain);
    EXPECT_EQ(o.left, Names{"a.zip"});
  }
  // Data descriptor after the data supplies CRC and length.
  Outcome o = run_on(zip_entry(plain, 8, 8));
  EXPECT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == plain);

  // A wrong CRC in the descriptor is caught.
  std::string bad = zip_entry(plain, 8, 8);
  bad[bad.size() - 12] ^= 1;
  o = run_on(bad);
  EXPECT_TRUE(o.run.ended);
  EXPECT_NE(o.run.err.find("crc error"), std::string::npos);

  // A stored entry whose two sizes disagree.
  std::string mismatch = zip_entry("abcdef", 0);
  mismatch[18] = 5;  // compressed size 5, uncompressed 6
  o = run_on(mismatch);
  EXPECT_TRUE(o.run.ended);
  EXPECT_NE(o.run.err.find("len 6, siz 5\n"), std::string::npos) << o.run.err;
  EXPECT_NE(o.run.err.find("invalid compressed data--length mismatch"), std::string::npos);
  EXPECT_EQ(o.left, Names{"t.gz"});
}

TEST(Container, PkzipEntryWhoseDataEndsTheFile) {
  // No descriptor and nothing after the deflate data: the last code is read
  // without asking for bytes that are not there.
  for (std::size_t n = 1; n < 70000; n = n * 3 + 1) {
    std::string plain = text_data(n, unsigned(n));
    Outcome o = run_on(zip_entry(plain, 8));
    EXPECT_EQ(o.run.result, 0) << n << ": " << o.run.err;
    EXPECT_TRUE(o.output == plain) << n;
  }
}

TEST(Container, PkzipStateDoesNotOutliveItsFile) {
  // A refused PKZIP file, then an ordinary gzip file in the same process.
  Outcome o = run_on(zip_entry("x", 12));
  EXPECT_EQ(o.run.result, 1);
  std::string plain = text_data(100);
  o = run_on(gzip_of(plain));
  EXPECT_EQ(o.run.result, 0) << o.run.err;
  EXPECT_TRUE(o.output == plain);
  // And after a fatal end inside a PKZIP entry.
  std::string bad = zip_entry(plain, 8);
  bad[14] ^= 1;  // CRC in the local header
  o = run_on(bad);
  EXPECT_TRUE(o.run.ended);
  o = run_on(gzip_of(plain) + "junk");
  EXPECT_EQ(o.run.result, 2) << o.run.err;
  EXPECT_TRUE(o.output == plain);
}

TEST(Container, HeaderTimeStampSetsTheOutputTime) {
  TempDir dir;
  GzipHeader h;
  h.mtime = 1500000000;
  write_file("a.gz", gzip_of("stamped", 6, h));
  write_file("b.gz", gzip_of("unstamped"));
  ASSERT_TRUE(set_file_times("a.gz", 1111111111, 1222222222));
  ASSERT_TRUE(set_file_times("b.gz", 1111111111, 1222222222));
  EXPECT_EQ(run_engine("a.gz").result, 0);
  EXPECT_EQ(run_engine("b.gz").result, 0);
  struct stat a {}, b {};
  ASSERT_EQ(::stat("a", &a), 0);
  ASSERT_EQ(::stat("b", &b), 0);
  EXPECT_EQ(a.st_mtime, 1500000000);
  EXPECT_EQ(a.st_atime, 1111111111);
  EXPECT_EQ(b.st_mtime, 1222222222);
  EXPECT_EQ(b.st_atime, 1111111111);
}

}  // namespace
