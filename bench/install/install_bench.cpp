// What checking costs the installation: a session's downloads (gzip streams
// of about 100 MB of content in 20 files, with the signed manifest and its
// signature as a keyed session receives them) installed as an updater
// without a key does, and by a keyed one, which first checks them against
// the manifest (its streams were hashed while they arrived, so that is
// not repeated here). Both runs alternate in the same folder; prints both
// times and their ratio.
//
//   install_bench [megabytes=100] [rounds=5] [folder=/tmp]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_jobs.h"
#include "install/installation.h"
#include "session/download_check.h"
#include "testdata/deflate_data.h"
#include "trust/keys.h"
#include "trust/manifest.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 20;

/// Text-like content: words from a small vocabulary, as game data compresses.
std::string Content(std::size_t size, unsigned seed) {
  static const char* words[] = {"track ", "car ", "lap ", "speed ", "boost ", "map ", "race ", "drift "};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size) out += words[rng() % 8];
  out.resize(size);
  return out;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::filesystem::path folder =
      std::filesystem::path(argc > 3 ? argv[3] : "/tmp") / ("install-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);

  // The session as it arrived: streams, their hashes, the signed manifest.
  const trust::KeyPair key = trust::GenerateKeyPair();
  trust::Manifest manifest;
  manifest.game = trust::kGameName;
  manifest.major = 1;
  session::SessionOutcome arrived;
  arrived.versions = {1, 0};
  std::vector<std::pair<std::string, std::string>> streams;  // local name, stream
  const std::size_t each = megabytes * 1000 * 1000 / kFiles;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "file" + std::to_string(i) + ".dat", content = Content(each, i + 1);
    const std::string stream = testdata::gzip_of(content, 6);
    manifest.files.push_back(
        {name, content.size(), trust::HashBytes(content), stream.size(), trust::HashBytes(stream)});
    arrived.streams.push_back({name, name, stream.size(), trust::HashBytes(stream)});
    streams.emplace_back(name, stream);
  }
  std::string manifestText, signatureFile;
  if (!trust::SignManifest(key.secretKey, manifest, manifestText, signatureFile)) return 1;
  for (const auto& [name, text] : {std::pair{trust::kManifestFileName, manifestText},
                                   std::pair{trust::kManifestSignatureFileName, signatureFile}}) {
    const std::string stream = testdata::gzip_of(text, 0);
    arrived.streams.push_back({name, name, stream.size(), trust::HashBytes(stream)});
    streams.emplace_back(name, stream);
  }
  for (const auto& [name, stream] : streams) {
    arrived.receivedNames.push_back(name);
    arrived.downloads.push_back(name + ".gz");
  }
  const std::string publicKey = trust::FormatPublicKey(key.publicKey);

  std::vector<double> plain, checked, checks;
  for (int r = 0; r < 2 * rounds; ++r) {
    const bool keyed = r % 2 == 1;
    for (const auto& [name, stream] : streams) Write(name + ".gz", stream);
    std::filesystem::remove("File.ver");
    session::SessionOutcome outcome = arrived;
    const auto start = Clock::now();
    if (keyed) {
      if (!session::CheckDownloads(publicKey, outcome).empty()) {
        std::fprintf(stderr, "the check refused the downloads\n");
        return 1;
      }
      checks.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    const install::InstallResult result =
        install::InstallReceivedFiles(outcome.receivedNames, outcome.versions[0], outcome.versions[1]);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result.outcome != install::InstallResult::Outcome::Installed) {
      std::fprintf(stderr, "installation failed: %s\n", result.FailureText().c_str());
      return 1;
    }
    (keyed ? checked : plain).push_back(seconds);
    std::printf("round %d: %s %.3f s\n", r / 2 + 1, keyed ? "checked" : "without a key", seconds);
  }
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder);
  const double a = bench::median(plain), b = bench::median(checked);
  std::printf("installation of %zu MB in %d files (+ manifest and signature), median of %d rounds\n",
              megabytes, kFiles, rounds);
  std::printf("without a key  %.3f s\nchecked        %.3f s\n", a, b);
  std::printf("the check alone: %.2f ms (median)\n", bench::median(checks) * 1e3);
  std::printf("ratio checked/without: %.3f (budget <= 1.05)\n", b / a);
  return b / a <= 1.05 ? 0 : 2;
}
