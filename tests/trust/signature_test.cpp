// Signatures and keys refused for what was done to them: one table each,
// every row a change an attacker or a damaged transfer could make.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "trust/keys.h"
#include "trust/signature.h"
#include "trust_test_util.h"

namespace {

using trust::Verdict;
using trust_test::EditDecodedLine;
using trust_test::JoinLines;
using trust_test::Lines;

const trust::KeyPair& Signer() {
  static const trust::KeyPair pair = trust::GenerateKeyPair();
  return pair;
}

const trust::KeyPair& Stranger() {
  static const trust::KeyPair pair = trust::GenerateKeyPair();
  return pair;
}

std::string SignWith(const trust::SecretKey& key, const std::string& message, const std::string& comment) {
  std::string file;
  EXPECT_TRUE(trust::Sign(key, message, comment, file));
  return file;
}

constexpr const char* kMessage = "mirvale-manifest 1\ngame Mirvale\nversions 3 12\n";
constexpr const char* kComment = "Mirvale manifest 3 12";

struct SignatureCase {
  const char* name;
  /// Changes the signed message or the signature file (lines without "\n").
  std::function<void(std::string& message, std::vector<std::string>& lines)> tamper;
  Verdict expected;
};
void PrintTo(const SignatureCase& row, std::ostream* out) { *out << row.name; }

// Offsets inside the decoded signature line: algorithm, key id, signature.
constexpr std::size_t kKeyIdAt = 2, kSignatureAt = 10;

void EditSignatureLine(std::vector<std::string>& lines,
                       const std::function<void(std::vector<std::uint8_t>&)>& edit) {
  lines = Lines(EditDecodedLine(JoinLines(lines), 1, edit));
}

const SignatureCase kSignatureCases[] = {
    {"Untouched", [](std::string&, std::vector<std::string>&) {}, Verdict::Accepted},
    {"UntrustedCommentEdited", [](std::string&, auto& l) { l[0] = "untrusted comment: anything"; },
     Verdict::Accepted},
    {"CarriageReturnsBeforeLineEnds",
     [](std::string&, auto& l) {
       for (auto& line : l) line += "\r";
     },
     Verdict::Accepted},
    {"MessageByteChanged", [](std::string& m, auto&) { m[m.size() - 3] ^= 1; }, Verdict::SignatureBad},
    {"MessageTruncated", [](std::string& m, auto&) { m.pop_back(); }, Verdict::SignatureBad},
    {"SignatureBitFlipped",
     [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b[kSignatureAt + 5] ^= 4; }); },
     Verdict::SignatureBad},
    {"TrustedCommentEdited", [](std::string&, auto& l) { l[2] = "trusted comment: Mirvale manifest 4 12"; },
     Verdict::GlobalSignatureBad},
    {"GlobalSignatureBitFlipped",
     [](std::string&, auto& l) {
       l[3] = trust_test::ToBase64([&] {
         auto b = trust_test::FromBase64(l[3]);
         b[0] ^= 1;
         return b;
       }());
     },
     Verdict::GlobalSignatureBad},
    // The comment and global signature of another genuine signature by the
    // same key: the global signature covers the signature bytes too.
    {"CommentOfAnotherSignatureSpliced",
     [](std::string&, auto& l) {
       const auto other = Lines(SignWith(Signer().secretKey, "an older manifest", "Mirvale manifest 9 9"));
       l[2] = other[2];
       l[3] = other[3];
     },
     Verdict::GlobalSignatureBad},
    {"KeyIdChanged", [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b[kKeyIdAt] ^= 1; }); },
     Verdict::KeyIdMismatch},
    {"SignedByAnotherKey",
     [](std::string& m, auto& l) { l = Lines(SignWith(Stranger().secretKey, m, kComment)); },
     Verdict::KeyIdMismatch},
    {"SignedByAnotherKeyUnderOurKeyId",
     [](std::string& m, auto& l) {
       trust::SecretKey forged = Stranger().secretKey;
       forged.id = Signer().secretKey.id;
       l = Lines(SignWith(forged, m, kComment));
     },
     Verdict::SignatureBad},
    {"LegacyAlgorithm", [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b[1] = 'd'; }); },
     Verdict::SignatureNotPrehashed},
    {"UnknownAlgorithm", [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b[1] = 'X'; }); },
     Verdict::SignatureWrongAlgorithm},
    {"SignatureLineCut", [](std::string&, auto& l) { l[1].resize(40); }, Verdict::SignatureMalformed},
    {"SignatureLineShortByOneByte",
     [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b.pop_back(); }); },
     Verdict::SignatureMalformed},
    {"SignatureLineLongByOneByte",
     [](std::string&, auto& l) { EditSignatureLine(l, [](auto& b) { b.push_back(0); }); },
     Verdict::SignatureMalformed},
    {"GlobalSignatureLineCut", [](std::string&, auto& l) { l[3].resize(l[3].size() - 4); },
     Verdict::SignatureMalformed},
    {"FileCutAfterTrustedComment", [](std::string&, auto& l) { l.resize(3); }, Verdict::SignatureMalformed},
    {"PaddingDropped", [](std::string&, auto& l) { l[3].erase(l[3].find('=')); },
     Verdict::SignatureMalformed},
    {"BlankInsideBase64", [](std::string&, auto& l) { l[1].insert(20, " "); }, Verdict::SignatureMalformed},
    {"TrustedCommentPrefixMissing", [](std::string&, auto& l) { l[2] = kComment; },
     Verdict::SignatureMalformed},
    {"UntrustedCommentPrefixMissing", [](std::string&, auto& l) { l[0] = "comment: x"; },
     Verdict::SignatureMalformed},
    {"ExtraLine", [](std::string&, auto& l) { l.push_back(""); }, Verdict::SignatureMalformed},
    {"Empty", [](std::string&, auto& l) { l.clear(); }, Verdict::SignatureMalformed},
    {"OversizedFile", [](std::string&, auto& l) { l[0] += std::string(trust::kMaxSignatureFileSize, 'x'); },
     Verdict::SignatureMalformed},
};

class SignatureTamperTest : public testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureTamperTest, IsJudgedForWhatWasDone) {
  std::string message = kMessage;
  auto lines = Lines(SignWith(Signer().secretKey, message, kComment));
  ASSERT_EQ(lines.size(), 4u);
  GetParam().tamper(message, lines);
  std::string comment = "untouched";
  const Verdict verdict = trust::Verify(Signer().publicKey, message, JoinLines(lines), &comment);
  EXPECT_EQ(verdict, GetParam().expected) << trust::VerdictText(verdict);
  // Only an accepted signature hands out its comment.
  EXPECT_EQ(comment, verdict == Verdict::Accepted ? kComment : "untouched");
}

INSTANTIATE_TEST_SUITE_P(Signatures, SignatureTamperTest, testing::ValuesIn(kSignatureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignTest, RefusesCommentsThatWouldBreakTheFile) {
  std::string file = "kept";
  for (const std::string& comment :
       {std::string("two\nlines"), std::string("cr\r"), std::string(trust::kMaxCommentSize + 1, 'x')}) {
    EXPECT_FALSE(trust::Sign(Signer().secretKey, kMessage, comment, file));
    EXPECT_FALSE(trust::Sign(Signer().secretKey, kMessage, kComment, file, comment));
  }
  EXPECT_EQ(file, "kept");
  EXPECT_TRUE(trust::Sign(Signer().secretKey, kMessage, std::string(trust::kMaxCommentSize, 'x'), file));
  EXPECT_EQ(trust::Verify(Signer().publicKey, kMessage, file), Verdict::Accepted);
}

// Offsets inside the decoded secret key (keys.h).
constexpr std::size_t kKdfAt = 2, kChecksumAlgAt = 4, kSeedAt = 62, kPublicHalfAt = 94, kChecksumAt = 126;

struct SecretKeyCase {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> edit;
  Verdict expected;
};
void PrintTo(const SecretKeyCase& row, std::ostream* out) { *out << row.name; }

const SecretKeyCase kSecretKeyCases[] = {
    {"Untouched", [](auto&) {}, Verdict::Accepted},
    // What the signing tool writes for a key without a password.
    {"ChecksumZero", [](auto& b) { std::fill(b.begin() + kChecksumAt, b.end(), 0); }, Verdict::Accepted},
    {"ChecksumChanged", [](auto& b) { b[kChecksumAt + 7] ^= 1; }, Verdict::SecretKeyDamaged},
    {"SeedChanged", [](auto& b) { b[kSeedAt] ^= 1; }, Verdict::SecretKeyDamaged},
    {"SeedChangedChecksumZero",
     [](auto& b) {
       b[kSeedAt] ^= 1;
       std::fill(b.begin() + kChecksumAt, b.end(), 0);
     },
     Verdict::SecretKeyDamaged},
    {"PublicHalfChangedChecksumZero",
     [](auto& b) {
       b[kPublicHalfAt + 31] ^= 1;
       std::fill(b.begin() + kChecksumAt, b.end(), 0);
     },
     Verdict::SecretKeyDamaged},
    {"PasswordProtected", [](auto& b) { b[kKdfAt] = 'S', b[kKdfAt + 1] = 'c'; }, Verdict::SecretKeyEncrypted},
    {"UnknownKdf", [](auto& b) { b[kKdfAt] = 'X'; }, Verdict::KeyWrongAlgorithm},
    {"UnknownChecksumAlgorithm", [](auto& b) { b[kChecksumAlgAt] = 'X'; }, Verdict::KeyWrongAlgorithm},
    {"NotEd25519", [](auto& b) { b[1] = 'c'; }, Verdict::KeyWrongAlgorithm},
    {"ShortByOneByte", [](auto& b) { b.pop_back(); }, Verdict::KeyMalformed},
};

class SecretKeyTamperTest : public testing::TestWithParam<SecretKeyCase> {};

TEST_P(SecretKeyTamperTest, IsJudgedForWhatWasDone) {
  const std::string file =
      EditDecodedLine(trust::FormatSecretKeyFile(Signer().secretKey), 1, GetParam().edit);
  trust::SecretKey key;
  const Verdict verdict = trust::ParseSecretKeyFile(file, key);
  EXPECT_EQ(verdict, GetParam().expected) << trust::VerdictText(verdict);
  if (verdict == Verdict::Accepted) {
    EXPECT_EQ(key.key, Signer().secretKey.key);
    EXPECT_EQ(key.id, Signer().secretKey.id);
  }
}

INSTANTIATE_TEST_SUITE_P(SecretKeys, SecretKeyTamperTest, testing::ValuesIn(kSecretKeyCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct PublicKeyCase {
  const char* name;
  std::function<std::string(const std::string& line)> text;  ///< from the good base64 line
  bool asFile;
  Verdict expected;
};
void PrintTo(const PublicKeyCase& row, std::ostream* out) { *out << row.name; }

const PublicKeyCase kPublicKeyCases[] = {
    {"Line", [](const std::string& l) { return l; }, false, Verdict::Accepted},
    {"LineWithBlanksAround", [](const std::string& l) { return "  " + l + " \r"; }, false, Verdict::Accepted},
    {"File", [](const std::string& l) { return "untrusted comment: x\n" + l + "\n"; }, true,
     Verdict::Accepted},
    {"FileWithCrLf", [](const std::string& l) { return "untrusted comment: x\r\n" + l + "\r\n"; }, true,
     Verdict::Accepted},
    {"FileWithoutComment", [](const std::string& l) { return l + "\n"; }, true, Verdict::KeyMalformed},
    {"FileWithMoreText", [](const std::string& l) { return "untrusted comment: x\n" + l + "\nmore\n"; }, true,
     Verdict::KeyMalformed},
    {"LineCut", [](const std::string& l) { return l.substr(0, l.size() - 4); }, false, Verdict::KeyMalformed},
    {"SecretKeyLine",
     [](const std::string&) { return Lines(trust::FormatSecretKeyFile(Signer().secretKey))[1]; }, false,
     Verdict::KeyMalformed},
    {"NotEd25519",
     [](const std::string& l) {
       return Lines(EditDecodedLine("c\n" + l, 1, [](auto& b) { b[0] = 'X'; }))[1];
     },
     false, Verdict::KeyWrongAlgorithm},
};

class PublicKeyTest : public testing::TestWithParam<PublicKeyCase> {};

TEST_P(PublicKeyTest, IsReadOnlyWhenWhole) {
  const std::string text = GetParam().text(trust::FormatPublicKey(Signer().publicKey));
  trust::PublicKey key;
  const Verdict verdict =
      GetParam().asFile ? trust::ParsePublicKeyFile(text, key) : trust::ParsePublicKey(text, key);
  EXPECT_EQ(verdict, GetParam().expected) << trust::VerdictText(verdict);
  if (verdict == Verdict::Accepted) {
    EXPECT_EQ(key.key, Signer().publicKey.key);
    EXPECT_EQ(key.id, Signer().publicKey.id);
  }
}

INSTANTIATE_TEST_SUITE_P(PublicKeys, PublicKeyTest, testing::ValuesIn(kPublicKeyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KeyPairTest, KeyIdReadsAsALittleEndianNumber) {
  EXPECT_EQ(trust::KeyIdText({0x04, 0xEA, 0x87, 0xB5, 0x6B, 0xCE, 0xAA, 0x8E}), "8EAACE6BB587EA04");
  // Without leading zeros, as the tool writes it into a public key file.
  EXPECT_EQ(trust::KeyIdText({0x75, 0x87, 0x1C, 0x25, 0xDC, 0x36, 0x43, 0x0B}), "B4336DC251C8775");
  EXPECT_EQ(trust::KeyIdText({0x01, 0, 0, 0, 0, 0, 0, 0}), "1");
}

}  // namespace
