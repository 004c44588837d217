// The release manifest: what is read, what is refused and at which line, the
// trusted comment that binds it, and the content hash it is made of.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "trust/hash.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace {

using trust::Verdict;

const std::string kHashA(64, 'a');
const std::string kHashB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHead = "mirvale-manifest 1\ngame Mirvale\nversions 3 12\n";

std::string FileLine(const std::string& name, const std::string& size = "10",
                     const std::string& hash = kHashA) {
  return "file " + size + " " + hash + " 7 " + kHashB + " " + name + "\n";
}

struct ManifestCase {
  const char* name;
  std::string text;
  Verdict expected;
  std::size_t line;  ///< the line blamed
};
void PrintTo(const ManifestCase& row, std::ostream* out) { *out << row.name; }

const ManifestCase kManifestCases[] = {
    {"Good", kHead + FileLine("Data\\a.dat") + FileLine("Mirvale.exe"), Verdict::Accepted, 0},
    {"NoFiles", kHead, Verdict::Accepted, 0},
    {"LargestNumbers",
     "mirvale-manifest 1\ngame Mirvale\nversions 4294967295 0\n" + FileLine("a", "18446744073709551615"),
     Verdict::Accepted, 0},
    {"EscapedBytes", kHead + FileLine("Read%20Me%25.txt") + FileLine("%B0%A1.dat"), Verdict::Accepted, 0},
    {"Empty", "", Verdict::ManifestUnknownFormat, 0},
    {"LaterFormat", "mirvale-manifest 2\ngame Mirvale\nversions 3 12\n", Verdict::ManifestUnknownFormat, 1},
    {"FormatLinePadded", "mirvale-manifest 01\ngame Mirvale\nversions 3 12\n", Verdict::ManifestUnknownFormat,
     1},
    {"OtherFormatWord", "release-manifest 1\ngame Mirvale\nversions 3 12\n", Verdict::ManifestUnknownFormat,
     1},
    {"LastLineUnended", kHead + "file 10", Verdict::ManifestMalformed, 4},
    {"CarriageReturns", "mirvale-manifest 1\r\ngame Mirvale\r\n", Verdict::ManifestUnknownFormat, 1},
    {"GameMissing", "mirvale-manifest 1\nversions 3 12\n", Verdict::ManifestMalformed, 2},
    {"VersionsMissing", "mirvale-manifest 1\ngame Mirvale\n" + FileLine("a"), Verdict::ManifestMalformed, 3},
    {"HeadOnlyGame", "mirvale-manifest 1\ngame Mirvale\n", Verdict::ManifestMalformed, 0},
    {"VersionsTwice", kHead + "versions 4 0\n", Verdict::ManifestMalformed, 4},
    {"VersionsShort", "mirvale-manifest 1\ngame Mirvale\nversions 3\n", Verdict::ManifestMalformed, 3},
    {"GameWithBlank", "mirvale-manifest 1\ngame Mir vale\nversions 3 12\n", Verdict::ManifestMalformed, 2},
    {"GameTooLong", "mirvale-manifest 1\ngame " + std::string(65, 'M') + "\nversions 3 12\n",
     Verdict::ManifestBadName, 2},
    {"UnknownLine", kHead + FileLine("a") + "notice 1 2\n", Verdict::ManifestMalformed, 5},
    {"BlankLine", kHead + "\n" + FileLine("a"), Verdict::ManifestMalformed, 4},
    {"DoubleBlank", kHead + "file 10  " + kHashA + " 7 " + kHashB + " a\n", Verdict::ManifestMalformed, 4},
    {"FieldMissing", kHead + "file 10 " + kHashA + " 7 a\n", Verdict::ManifestMalformed, 4},
    {"VersionSigned", "mirvale-manifest 1\ngame Mirvale\nversions +3 12\n", Verdict::ManifestBadNumber, 3},
    {"VersionLeadingZero", "mirvale-manifest 1\ngame Mirvale\nversions 3 012\n", Verdict::ManifestBadNumber,
     3},
    {"VersionBeyond32Bits", "mirvale-manifest 1\ngame Mirvale\nversions 4294967296 0\n",
     Verdict::ManifestBadNumber, 3},
    {"SizeBeyond64Bits", kHead + FileLine("a", "18446744073709551616"), Verdict::ManifestBadNumber, 4},
    {"SizeNegative", kHead + FileLine("a", "-1"), Verdict::ManifestBadNumber, 4},
    {"HashUpperCase", kHead + FileLine("a", "10", std::string(64, 'A')), Verdict::ManifestBadHash, 4},
    {"HashShort", kHead + FileLine("a", "10", std::string(63, 'a')), Verdict::ManifestBadHash, 4},
    {"HashNotHex", kHead + FileLine("a", "10", std::string(63, 'a') + "g"), Verdict::ManifestBadHash, 4},
    {"NameRawControlByte", kHead + FileLine("a\x01"), Verdict::ManifestBadName, 4},
    {"NameRawHighByte", kHead + FileLine("\xB0\xA1.dat"), Verdict::ManifestBadName, 4},
    {"NamePlainByteEscaped", kHead + FileLine("%41.dat"), Verdict::ManifestBadName, 4},
    {"NameLowerCaseEscape", kHead + FileLine("%b0.dat"), Verdict::ManifestBadName, 4},
    {"NameEscapeCut", kHead + FileLine("a%2"), Verdict::ManifestBadName, 4},
    {"NameNul", kHead + FileLine("a%00"), Verdict::ManifestBadName, 4},
    {"NameTwice", kHead + FileLine("b") + FileLine("a") + FileLine("b", "11"), Verdict::ManifestDuplicateName,
     0},
    {"TooLarge", kHead + std::string(trust::kMaxManifestSize, 'x'), Verdict::ManifestTooLarge, 0},
};

class ManifestParseTest : public testing::TestWithParam<ManifestCase> {};

TEST_P(ManifestParseTest, ReadsOnlyTheExactFormat) {
  trust::Manifest manifest;
  manifest.game = "untouched";
  std::size_t line = 999;
  const Verdict verdict = trust::ParseManifest(GetParam().text, manifest, &line);
  EXPECT_EQ(verdict, GetParam().expected) << trust::VerdictText(verdict);
  if (verdict == Verdict::Accepted) {
    EXPECT_EQ(manifest.game, "Mirvale");
  } else {
    EXPECT_EQ(line, GetParam().line);
    EXPECT_EQ(manifest.game, "untouched");
  }
}

INSTANTIATE_TEST_SUITE_P(Manifests, ManifestParseTest, testing::ValuesIn(kManifestCases),
                         [](const auto& info) { return std::string(info.param.name); });

trust::ManifestEntry Entry(std::string name, std::uint64_t size) {
  trust::ManifestEntry entry;
  entry.name = std::move(name);
  entry.size = size;
  entry.contentHash = trust::HashBytes(entry.name);
  entry.streamSize = size / 2;
  entry.streamHash = trust::HashBytes(entry.name + ".gz");
  return entry;
}

TEST(ManifestTest, NamesOfAnyBytesSurviveTheRoundTripAndAreFoundExactly) {
  trust::Manifest manifest;
  manifest.game = "Mirvale";
  manifest.major = 4294967295u;
  manifest.minor = 7;
  // Unsorted, with blanks, '%', a control byte, CP949 bytes and folders.
  const char* names[] = {"Update.exe", "Data\\Read Me%.txt", "Data\\\xB0\xA1\xB3\xAA.dat",
                         "tab\there",  "data\\a.dat",        "Data\\a.dat"};
  for (std::size_t i = 0; i < std::size(names); ++i) manifest.files.push_back(Entry(names[i], 1000 * i));
  std::string text;
  ASSERT_TRUE(trust::SerializeManifest(manifest, text));
  EXPECT_NE(text.find("file 1000 "), std::string::npos);
  EXPECT_NE(text.find(" Data\\Read%20Me%25.txt\n"), std::string::npos);

  trust::Manifest parsed;
  ASSERT_EQ(trust::ParseManifest(text, parsed), Verdict::Accepted);
  EXPECT_EQ(parsed.major, manifest.major);
  EXPECT_EQ(parsed.minor, 7u);
  ASSERT_EQ(parsed.files.size(), std::size(names));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const trust::ManifestEntry* entry = parsed.Find(names[i]);
    ASSERT_NE(entry, nullptr) << names[i];
    EXPECT_EQ(entry->name, names[i]);
    EXPECT_EQ(entry->size, 1000 * i);
    EXPECT_EQ(entry->contentHash, manifest.files[i].contentHash);
    EXPECT_EQ(entry->streamSize, 500 * i);
    EXPECT_EQ(entry->streamHash, manifest.files[i].streamHash);
  }
  for (const char* absent : {"DATA\\a.dat", "Data\\a.dat ", "update.exe", "Update.ex", ""})
    EXPECT_EQ(parsed.Find(absent), nullptr) << absent;
  // One text per content: sorted, so a second round gives the same bytes.
  std::string again;
  ASSERT_TRUE(trust::SerializeManifest(parsed, again));
  EXPECT_EQ(again, text);
}

TEST(ManifestTest, RefusesToWriteWhatCouldNotBeReadBack) {
  trust::Manifest manifest;
  manifest.game = "Mirvale";
  manifest.files = {Entry("a", 1), Entry("b", 2)};
  std::string text = "kept";
  for (const auto& [game, name] : {std::pair<std::string, std::string>{"Mir vale", "c"},
                                   {"", "c"},
                                   {"Mirvale", ""},
                                   {"Mirvale", std::string("c\0d", 3)},
                                   {"Mirvale", "a"}}) {
    trust::Manifest bad = manifest;
    bad.game = game;
    bad.files.push_back(Entry(name, 3));
    EXPECT_FALSE(trust::SerializeManifest(bad, text)) << game << "/" << name;
  }
  EXPECT_EQ(text, "kept");
}

struct CommentCase {
  const char* name;
  std::string comment;  ///< the trusted comment actually signed
  Verdict expected;
};
void PrintTo(const CommentCase& row, std::ostream* out) { *out << row.name; }

const CommentCase kCommentCases[] = {
    {"Agrees", "Mirvale manifest 3 12", Verdict::Accepted},
    {"OtherMinor", "Mirvale manifest 3 13", Verdict::TrustedCommentMismatch},
    {"VersionsSwapped", "Mirvale manifest 12 3", Verdict::TrustedCommentMismatch},
    {"OtherGame", "Othergame manifest 3 12", Verdict::TrustedCommentMismatch},
    {"Extended", "Mirvale manifest 3 12 extra", Verdict::TrustedCommentMismatch},
    {"ToolDefault", "timestamp:1700000000\tfile:Mirvale.manifest", Verdict::TrustedCommentMismatch},
};

class TrustedCommentTest : public testing::TestWithParam<CommentCase> {};

TEST_P(TrustedCommentTest, MustNameTheBodysVersionsAndGame) {
  const trust::KeyPair pair = trust::GenerateKeyPair();
  const std::string text = kHead + FileLine("Mirvale.exe");
  std::string signature;
  ASSERT_TRUE(trust::Sign(pair.secretKey, text, GetParam().comment, signature));
  trust::Manifest manifest;
  const Verdict verdict = trust::VerifyManifest(pair.publicKey, text, signature, manifest);
  EXPECT_EQ(verdict, GetParam().expected) << trust::VerdictText(verdict);
  EXPECT_EQ(manifest.files.size(), verdict == Verdict::Accepted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Comments, TrustedCommentTest, testing::ValuesIn(kCommentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ManifestTest, SignedManifestVerifiesAndRefusesAnotherKey) {
  const trust::KeyPair pair = trust::GenerateKeyPair(), other = trust::GenerateKeyPair();
  trust::Manifest manifest;
  manifest.game = "Mirvale";
  manifest.major = 3;
  manifest.minor = 12;
  manifest.files = {Entry("Mirvale.exe", 5)};
  std::string text, signature;
  ASSERT_TRUE(trust::SignManifest(pair.secretKey, manifest, text, signature));
  EXPECT_NE(signature.find("\ntrusted comment: Mirvale manifest 3 12\n"), std::string::npos);
  trust::Manifest verified;
  EXPECT_EQ(trust::VerifyManifest(pair.publicKey, text, signature, verified), Verdict::Accepted);
  EXPECT_EQ(verified.Find("Mirvale.exe")->size, 5u);
  EXPECT_EQ(trust::VerifyManifest(other.publicKey, text, signature, verified), Verdict::KeyIdMismatch);
}

TEST(HasherTest, PiecesGiveTheDigestOfTheWhole) {
  // BLAKE2b-256 of "" and of "abc" (the RFC 7693 test input).
  EXPECT_EQ(trust::DigestToHex(trust::HashBytes("")),
            "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
  EXPECT_EQ(trust::DigestToHex(trust::HashBytes("abc")),
            "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");

  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  const trust::Digest whole = trust::HashBytes(data);
  for (const std::size_t piece : {1u, 127u, 128u, 2048u, 65536u}) {
    trust::Hasher hasher;
    for (std::size_t at = 0; at < data.size(); at += piece)
      hasher.Update(std::string_view(data).substr(at, piece));
    EXPECT_EQ(hasher.size(), data.size());
    EXPECT_EQ(hasher.Final(), whole) << "pieces of " << piece;
    // Final starts over.
    EXPECT_EQ(hasher.size(), 0u);
    hasher.Update("abc");
    EXPECT_EQ(trust::DigestToHex(hasher.Final()), trust::DigestToHex(trust::HashBytes("abc")));
  }
}

}  // namespace
