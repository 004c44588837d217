// Interoperation with the real signing tool, both ways: its keys and
// signatures work here, ours work there. What it once made (tests/data/trust)
// is checked on every platform; the live runs need the tool (Linux).

#include <gtest/gtest.h>

#include <string>

#include "test_support/temp_dir.h"
#include "test_support/process.h"
#include "trust/keys.h"
#include "trust/manifest.h"
#include "trust/signature.h"
#include "trust_test_util.h"

namespace {

using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;
using trust::Verdict;

std::string DataFile(const std::string& name) {
  return ReadFile(std::string(TEST_DATA_DIR) + "/trust/" + name);
}

TEST(ToolMadeFilesTest, KeysReadAndWriteBackAsTheToolWroteThem) {
  const std::string publicFile = DataFile("tool-key.pub"), secretFile = DataFile("tool-key.key");
  trust::PublicKey publicKey;
  trust::SecretKey secretKey;
  ASSERT_EQ(trust::ParsePublicKeyFile(publicFile, publicKey), Verdict::Accepted);
  ASSERT_EQ(trust::ParseSecretKeyFile(secretFile, secretKey), Verdict::Accepted);
  EXPECT_EQ(trust::FormatPublicKeyFile(publicKey), publicFile);
  EXPECT_EQ(secretKey.Public().key, publicKey.key);
  EXPECT_EQ(secretKey.id, publicKey.id);
  // The tool leaves the checksum of an unencrypted key zero; ours carries
  // it. Everything before it is the same, byte for byte.
  const auto ours = trust_test::FromBase64(trust_test::Lines(trust::FormatSecretKeyFile(secretKey))[1]);
  const auto theirs = trust_test::FromBase64(trust_test::Lines(secretFile)[1]);
  ASSERT_EQ(ours.size(), 158u);
  ASSERT_EQ(theirs.size(), 158u);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 126, theirs.begin()));
  EXPECT_EQ(trust_test::Lines(trust::FormatSecretKeyFile(secretKey))[0], trust_test::Lines(secretFile)[0]);
}

TEST(ToolMadeFilesTest, ItsSignedManifestVerifiesAndItsLegacySignatureIsRefused) {
  trust::PublicKey key;
  ASSERT_EQ(trust::ParsePublicKeyFile(DataFile("tool-key.pub"), key), Verdict::Accepted);
  const std::string text = DataFile("Mirvale.manifest");
  trust::Manifest manifest;
  ASSERT_EQ(trust::VerifyManifest(key, text, DataFile("Mirvale.manifest.minisig"), manifest),
            Verdict::Accepted);
  EXPECT_EQ(manifest.major, 3u);
  EXPECT_EQ(manifest.minor, 12u);
  ASSERT_NE(manifest.Find("Data\\Map 01.dat"), nullptr);
  EXPECT_EQ(manifest.Find("Data\\Map 01.dat")->size, 250u);
  EXPECT_EQ(trust::VerifyManifest(key, text, DataFile("Mirvale.manifest.legacy.minisig"), manifest),
            Verdict::SignatureNotPrehashed);
}

/// Runs the signing tool with ARGUMENTS in DIR; its exit status and output.
test_support::RunResult RunSigningTool(const std::string& dir, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), SIGNING_TOOL);
  test_support::ProcessOptions options;
  options.directory = dir;
  return test_support::Run(arguments, options);
}

class SigningToolTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::string(SIGNING_TOOL).empty()) GTEST_SKIP() << "the signing tool runs on Linux only";
    WriteFile(dir_ / "release.manifest", kText);
  }
  TempDir dir_;
  const std::string kText = "mirvale-manifest 1\ngame Mirvale\nversions 5 0\n";
  const std::string kComment = "Mirvale manifest 5 0";
};

TEST_F(SigningToolTest, ItsFreshKeySignsHereAndItVerifiesOurSignature) {
  ASSERT_EQ(RunSigningTool(dir_.path(), {"-G", "-W", "-p", "tool.pub", "-s", "tool.key"}).status, 0);
  trust::PublicKey publicKey;
  trust::SecretKey secretKey;
  ASSERT_EQ(trust::ParsePublicKeyFile(ReadFile(dir_ / "tool.pub"), publicKey), Verdict::Accepted);
  ASSERT_EQ(trust::ParseSecretKeyFile(ReadFile(dir_ / "tool.key"), secretKey), Verdict::Accepted);

  std::string signature;
  ASSERT_TRUE(trust::Sign(secretKey, kText, kComment, signature));
  WriteFile(dir_ / "release.manifest.minisig", signature);
  const auto checked = RunSigningTool(dir_.path(), {"-V", "-m", "release.manifest", "-p", "tool.pub"});
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_NE(checked.output.find("Trusted comment: " + kComment), std::string::npos) << checked.output;
  EXPECT_EQ(trust::Verify(publicKey, kText, signature), Verdict::Accepted);
}

TEST_F(SigningToolTest, OurFreshKeyWorksInTheTool) {
  trust::KeyPair pair = trust::GenerateKeyPair();
  // A key id whose hex has a leading zero, which the tool does not write.
  pair.secretKey.id[7] = pair.publicKey.id[7] = 0x0B;
  WriteFile(dir_ / "our.pub", trust::FormatPublicKeyFile(pair.publicKey));
  WriteFile(dir_ / "our.key", trust::FormatSecretKeyFile(pair.secretKey));

  // It verifies our signature with our public key file and with the line.
  std::string signature;
  ASSERT_TRUE(trust::Sign(pair.secretKey, kText, kComment, signature));
  WriteFile(dir_ / "release.manifest.minisig", signature);
  auto checked = RunSigningTool(dir_.path(), {"-V", "-m", "release.manifest", "-p", "our.pub"});
  EXPECT_EQ(checked.status, 0) << checked.output;
  checked = RunSigningTool(
      dir_.path(), {"-V", "-H", "-m", "release.manifest", "-P", trust::FormatPublicKey(pair.publicKey)});
  EXPECT_EQ(checked.status, 0) << checked.output;

  // It signs with our secret key file, and we verify what it made.
  const auto signedByTool = RunSigningTool(
      dir_.path(), {"-S", "-s", "our.key", "-m", "release.manifest", "-x", "tool.minisig", "-t", kComment});
  ASSERT_EQ(signedByTool.status, 0) << signedByTool.output;
  trust::Manifest manifest;
  EXPECT_EQ(trust::VerifyManifest(pair.publicKey, kText, ReadFile(dir_ / "tool.minisig"), manifest),
            Verdict::Accepted);
  EXPECT_EQ(manifest.major, 5u);

  // The public key it derives from our secret key file is ours, byte for byte.
  ASSERT_EQ(RunSigningTool(dir_.path(), {"-R", "-s", "our.key", "-p", "derived.pub"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "derived.pub"), trust::FormatPublicKeyFile(pair.publicKey));
}

TEST_F(SigningToolTest, WhatWeRefuseItRefusesToo) {
  const trust::KeyPair pair = trust::GenerateKeyPair(), other = trust::GenerateKeyPair();
  WriteFile(dir_ / "our.pub", trust::FormatPublicKeyFile(pair.publicKey));
  std::string good, foreign;
  ASSERT_TRUE(trust::Sign(pair.secretKey, kText, kComment, good));
  ASSERT_TRUE(trust::Sign(other.secretKey, kText, kComment, foreign));
  auto edited = trust_test::Lines(good);
  edited[2] = "trusted comment: Mirvale manifest 6 0";
  const std::pair<std::string, Verdict> rows[] = {
      {trust_test::JoinLines(edited), Verdict::GlobalSignatureBad},
      {foreign, Verdict::KeyIdMismatch},
      {good.substr(0, good.size() - 10), Verdict::SignatureMalformed},
  };
  for (const auto& [signature, verdict] : rows) {
    WriteFile(dir_ / "release.manifest.minisig", signature);
    EXPECT_NE(RunSigningTool(dir_.path(), {"-V", "-m", "release.manifest", "-p", "our.pub"}).status, 0)
        << trust::VerdictText(verdict);
    EXPECT_EQ(trust::Verify(pair.publicKey, kText, signature), verdict);
  }
}

}  // namespace
