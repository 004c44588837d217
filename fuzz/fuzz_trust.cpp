// libFuzzer target: the signing library's readers on arbitrary bytes, each
// of which an attacker (a manifest and its signature arrive from the server)
// or a damaged disk hands over: the manifest, the signature file, the key
// line and both key files. Besides the sanitizers' findings, a run fails when
// an accepted manifest does not survive being written and read again, or a
// fixed key's verification accepts what it did not sign.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "trust/keys.h"
#include "trust/manifest.h"
#include "trust/signature.h"

namespace {

const trust::KeyPair& Key() {
  static const trust::KeyPair pair = trust::GenerateKeyPair();
  return pair;
}

void CheckManifestRoundTrip(std::string_view text) {
  trust::Manifest manifest;
  if (trust::ParseManifest(text, manifest) != trust::Verdict::Accepted) return;
  std::string written;
  trust::Manifest again;
  if (!trust::SerializeManifest(manifest, written) ||
      trust::ParseManifest(written, again) != trust::Verdict::Accepted || again.game != manifest.game ||
      again.major != manifest.major || again.minor != manifest.minor ||
      again.files.size() != manifest.files.size())
    std::abort();
  for (const auto& entry : manifest.files)
    if (again.Find(entry.name) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckManifestRoundTrip(text);

  trust::SignatureFile signature;
  (void)trust::ParseSignatureFile(text, signature);
  // The input as a signature of a fixed message: only a real one verifies,
  // and the fuzzer cannot make one.
  if (trust::Verify(Key().publicKey, "fixed message", text) == trust::Verdict::Accepted) std::abort();

  trust::PublicKey publicKey;
  (void)trust::ParsePublicKey(text, publicKey);
  (void)trust::ParsePublicKeyFile(text, publicKey);
  trust::SecretKey secretKey;
  (void)trust::ParseSecretKeyFile(text, secretKey);
  return 0;
}
