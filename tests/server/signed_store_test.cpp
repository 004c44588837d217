// Signed stores through the operator's tool: keys made here or by the signing
// tool, the manifest each signed state gets (checked against the files
// published, by the trust library and by the signing tool itself), and the
// publishes a signed store refuses without changing anything.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/publish.h"
#include "server/release_store.h"
#include "server/signing.h"
#include "store_builder.h"
#include "test_support/process.h"
#include "test_support/temp_dir.h"
#include "trust/manifest.h"

using server_test::Files;
using server_test::MakeFolder;
using server_test::ReadFolder;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

RunResult Tool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), UPDATE_SERVER);
  return test_support::Run(arguments);
}

RunResult SigningTool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), SIGNING_TOOL);
  return test_support::Run(arguments);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

/// A key pair made by the signing tool, unencrypted: PREFIX.pub and PREFIX.key.
void ToolKeyPair(const std::string& prefix) {
  const RunResult made = SigningTool({"-G", "-W", "-p", prefix + ".pub", "-s", prefix + ".key"});
  ASSERT_EQ(made.status, 0) << made.output;
}

trust::PublicKey PublicKeyOf(const std::string& file) {
  trust::PublicKey key;
  EXPECT_EQ(trust::ParsePublicKeyFile(ReadFile(file), key), trust::Verdict::Accepted);
  return key;
}

class SignedStoreTest : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name, const Files& files) {
    MakeFolder(dir_ / name, files);
    return dir_ / name;
  }
  void Publish(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"publish", store_});
    const RunResult run = Tool(arguments);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  TempDir dir_;
  std::string store_ = dir_ / "store";
};

TEST_F(SignedStoreTest, EachSignedStateListsItsNewestFilesAndVerifiesWithBothTools) {
  ToolKeyPair(dir_ / "tool");
  const std::string key = dir_ / "tool.key", pub = dir_ / "tool.pub";
  const std::string big(300000, 'q');
  Publish({"major", Folder("m1", {{"Mirvale.exe", "client 1"}, {"data/map.dat", big}})});
  // The first signed publish signs files it did not publish itself.
  Publish({"minor", Folder("n1", {{"Read Me.txt", "notes"}}), "--sign", key});
  Publish({"major", Folder("m2", {{"Mirvale.exe", "client 2"}}), "--sign", key});
  // A new notice leaves the state's manifest as it is.
  WriteFile(dir_ / "notice.html", "<p>hi</p>");
  ASSERT_EQ(Tool({"notice", store_, dir_ / "notice.html"}).status, 0);

  struct State {
    std::string manifest;
    std::uint32_t major, minor;
    std::vector<std::pair<std::string, std::string>> files;  // wire name, content
    std::vector<std::string> streams;                        // each file's stored stream
  };
  const std::vector<State> states = {
      {"manifest/1-1.manifest",
       1,
       1,
       {{"Mirvale.exe", "client 1"}, {"Read Me.txt", "notes"}, {"data\\map.dat", big}},
       {"major/1/files/Mirvale.exe.gz", "minor/1/files/Read Me.txt.gz", "major/1/files/data/map.dat.gz"}},
      {"manifest/2-1.manifest",
       2,
       1,
       {{"Mirvale.exe", "client 2"}, {"Read Me.txt", "notes"}, {"data\\map.dat", big}},
       {"major/2/files/Mirvale.exe.gz", "minor/1/files/Read Me.txt.gz", "major/1/files/data/map.dat.gz"}},
  };
  for (const State& state : states) {
    SCOPED_TRACE(state.manifest);
    const std::string path = store_ + "/" + state.manifest;
    trust::Manifest manifest;
    ASSERT_EQ(trust::VerifyManifest(PublicKeyOf(pub), ReadFile(path), ReadFile(path + ".minisig"), manifest),
              trust::Verdict::Accepted);
    EXPECT_EQ(manifest.game, "Mirvale");
    EXPECT_EQ(manifest.major, state.major);
    EXPECT_EQ(manifest.minor, state.minor);
    ASSERT_EQ(manifest.files.size(), state.files.size());
    for (std::size_t i = 0; i < state.files.size(); ++i) {
      const trust::ManifestEntry& entry = manifest.files[i];
      const std::string stream = ReadFile(store_ + "/" + state.streams[i]);
      EXPECT_EQ(entry.name, state.files[i].first);
      EXPECT_EQ(entry.size, state.files[i].second.size()) << entry.name;
      EXPECT_EQ(entry.contentHash, trust::HashBytes(state.files[i].second)) << entry.name;
      EXPECT_EQ(entry.streamSize, stream.size()) << entry.name;
      EXPECT_EQ(entry.streamHash, trust::HashBytes(stream)) << entry.name;
    }
    const RunResult checked = SigningTool({"-V", "-m", path, "-p", pub});
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_TRUE(Has(checked.output, "Trusted comment: Mirvale manifest " + std::to_string(state.major) + " " +
                                        std::to_string(state.minor)))
        << checked.output;
  }
  const RunResult shown = Tool({"show", store_});
  EXPECT_TRUE(Has(shown.output, "signing: key id " + trust::KeyIdText(PublicKeyOf(pub).id) +
                                    "; the manifest of the state in force verifies"))
      << shown.output;

  // A manifest that no longer matches is reported, not passed over.
  WriteFile(store_ + "/manifest/2-1.manifest", ReadFile(store_ + "/manifest/1-1.manifest"));
  EXPECT_TRUE(Has(Tool({"show", store_}).output, "does NOT verify")) << Tool({"show", store_}).output;

  // Re-keying, asked for, signs from the next state on with the new key.
  ASSERT_EQ(Tool({"keygen", dir_ / "new"}).status, 0);
  Publish({"minor", Folder("n2", {{"Read Me.txt", "more notes"}}), "--sign", dir_ / "new/mirvale.key",
           "--new-key"});
  const trust::PublicKey newKey = PublicKeyOf(dir_ / "new/mirvale.pub");
  EXPECT_TRUE(Has(Tool({"show", store_}).output, "signing: key id " + trust::KeyIdText(newKey.id) +
                                                     "; the manifest of the state in force verifies"));
  EXPECT_EQ(ReadFile(store_ + "/signing-key"), ReadFile(dir_ / "new/mirvale.pub"));
  // Sessions end only at states the new key signed: players hold that key now.
  const auto rekeyed = server::LoadSnapshot(store_);
  ASSERT_EQ(rekeyed->signedStates.size(), 1u);
  EXPECT_EQ(rekeyed->signedStates[0].counters[0], rekeyed->Counter(0));
  EXPECT_EQ(rekeyed->signedStates[0].counters[1], rekeyed->Counter(1));
}

/// One publish a store must refuse, leaving every file of it as it was.
struct Refusal {
  const char* label;
  bool signedStore;                ///< the store is signed with mirvale.key before
  std::vector<std::string> extra;  ///< after "publish STORE minor DIR"; "@" is the temporary folder
  int status;
  const char* message;
  /// Damages the store before the publish (nullptr: nothing).
  void (*damage)(const std::string& store);
};

void PrintTo(const Refusal& row, std::ostream* out) { *out << row.label; }

class RefusedPublishTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedPublishTest, SaysWhyAndChangesNothing) {
  const Refusal& row = GetParam();
  TempDir dir;
  const std::string store = dir / "store";
  ASSERT_EQ(Tool({"keygen", dir / "keys"}).status, 0);
  ASSERT_EQ(Tool({"keygen", dir / "other"}).status, 0);
  MakeFolder(dir / "one", {{"a.txt", "one"}, {"data/b.dat", std::string(5000, 'b')}});
  MakeFolder(dir / "two", {{"c.txt", "two"}});
  if (std::string(row.label) == "ManifestNameInASignedStore")
    MakeFolder(dir / "two", {{"MIRVALE.MANIFEST", "x"}});
  std::vector<std::string> first = {"publish", store, "major", dir / "one"};
  if (row.signedStore) first.insert(first.end(), {"--sign", dir / "keys/mirvale.key"});
  ASSERT_EQ(Tool(first).status, 0);
  WriteFile(dir / "damaged.key", ReadFile(dir / "keys/mirvale.key"));
  std::string damaged = ReadFile(dir / "damaged.key");
  damaged[damaged.find('\n') + 60] ^= 1;
  WriteFile(dir / "damaged.key", damaged);
  if (row.damage != nullptr) row.damage(store);

  const Files before = ReadFolder(store);
  std::vector<std::string> arguments = {"publish", store, "minor", dir / "two"};
  for (const std::string& extra : row.extra) {
    arguments.push_back(extra[0] == '@' ? dir.path() + extra.substr(1) : extra);
  }
  const RunResult run = Tool(arguments);
  EXPECT_EQ(run.status, row.status) << run.output;
  EXPECT_TRUE(Has(run.output, row.message)) << run.output;
  EXPECT_EQ(ReadFolder(store), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedPublishTest,
    ::testing::Values(
        Refusal{"UnsignedOntoSigned", true, {}, 1, "the store is signed (key id ", nullptr},
        Refusal{"OtherKey", true, {"--sign", "@/other/mirvale.key"}, 1, ", not with key id ", nullptr},
        Refusal{"MissingKeyFile", true, {"--sign", "@/keys/none.key"}, 1, "none.key: No such file", nullptr},
        Refusal{"PublicKeyAsSecret",
                false,
                {"--sign", "@/keys/mirvale.pub"},
                1,
                "not a usable secret key",
                nullptr},
        Refusal{"ManifestNameInASignedStore",
                true,
                {"--sign", "@/keys/mirvale.key"},
                1,
                "MIRVALE.MANIFEST: the name of the signed manifest",
                nullptr},
        Refusal{"DamagedKey", false, {"--sign", "@/damaged.key"}, 1, "not a usable secret key", nullptr},
        Refusal{"NewKeyWithoutKey", false, {"--new-key"}, 2, "--new-key goes with --sign", nullptr},
        Refusal{"DamagedStoredStream",
                false,
                {"--sign", "@/keys/mirvale.key"},
                1,
                "b.dat.gz: damaged gzip stream",
                [](const std::string& store) {
                  std::string stream = ReadFile(store + "/major/1/files/data/b.dat.gz");
                  stream[stream.size() / 2] ^= 0x55;
                  WriteFile(store + "/major/1/files/data/b.dat.gz", stream);
                }}),
    [](const auto& info) { return std::string(info.param.label); });

/// A signed publish that fails after its manifest (and a new key) are stored,
/// just before CURRENT is replaced, must take them back: the store stays as it
/// was, signed as before or not at all.
struct LateFailure {
  const char* label;
  bool signedBefore;  ///< the store is signed with the first key before
  bool newKey;        ///< the failing publish re-keys with a second key
};

void PrintTo(const LateFailure& row, std::ostream* out) { *out << row.label; }

class LateFailureTest : public ::testing::TestWithParam<LateFailure> {};

TEST_P(LateFailureTest, LeavesTheStoreAsItWas) {
  const LateFailure& row = GetParam();
  TempDir dir;
  const std::string store = dir / "store";
  const auto first = std::make_shared<trust::SecretKey>(trust::GenerateKeyPair().secretKey);
  const auto second = std::make_shared<trust::SecretKey>(trust::GenerateKeyPair().secretKey);
  MakeFolder(dir / "one", {{"a.txt", "one"}});
  MakeFolder(dir / "two", {{"b.txt", "two"}});
  server::PublishOptions options;
  if (row.signedBefore) options.signing.key = first;
  server::Publish(store, 0, dir / "one", options);
  const Files before = ReadFolder(store);

  options.signing = {row.newKey ? second : first, row.newKey};
  options.onStep = [](server::PublishStep step) {
    if (step == server::PublishStep::StateWritten) throw server::StoreError("disk gone");
  };
  EXPECT_THROW(server::Publish(store, 1, dir / "two", options), server::StoreError);
  EXPECT_EQ(ReadFolder(store), before);
}

INSTANTIATE_TEST_SUITE_P(Table, LateFailureTest,
                         ::testing::Values(LateFailure{"FirstSigning", false, false},
                                           LateFailure{"SameKey", true, false},
                                           LateFailure{"NewKey", true, true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(KeygenTest, ItsKeysSignAndVerifyWithTheSigningToolAndAreNeverReplaced) {
  TempDir dir;
  const RunResult made = Tool({"keygen", dir / "keys"});
  ASSERT_EQ(made.status, 0) << made.output;
  const std::string pub = dir / "keys/mirvale.pub", key = dir / "keys/mirvale.key";
  const std::string publicFile = ReadFile(pub), secretFile = ReadFile(key);
  const trust::PublicKey publicKey = PublicKeyOf(pub);
  EXPECT_TRUE(Has(made.output, "key id " + trust::KeyIdText(publicKey.id) + "\n")) << made.output;
  EXPECT_TRUE(Has(made.output, "\nPublicKey=" + trust::FormatPublicKey(publicKey) + "\n")) << made.output;
  struct stat st {};
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  WriteFile(dir / "file.bin", std::string("some release\0bytes", 18));
  RunResult run = SigningTool({"-S", "-s", key, "-m", dir / "file.bin", "-t", "trusted words"});
  ASSERT_EQ(run.status, 0) << run.output;
  run = SigningTool({"-V", "-p", pub, "-m", dir / "file.bin"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "Trusted comment: trusted words")) << run.output;

  run = Tool({"keygen", dir / "keys"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.output, "already there; a key is never replaced")) << run.output;
  EXPECT_EQ(ReadFile(pub), publicFile);
  EXPECT_EQ(ReadFile(key), secretFile);
}

}  // namespace
