#include "store_builder.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "test_support/temp_dir.h"
#include "trust/keys.h"
#include "trust/signature.h"

namespace fs = std::filesystem;

namespace server_test {

void MakeFolder(const std::string& dir, const Files& files) {
  fs::create_directories(dir);
  for (const auto& [name, content] : files) {
    const fs::path path = fs::path(dir) / name;
    fs::create_directories(path.parent_path());
    test_support::WriteFile(path.string(), content);
  }
}

Files ReadFolder(const std::string& dir) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(dir).string()] = test_support::ReadFile(entry.path().string());
    }
  }
  return files;
}

std::shared_ptr<const server::Snapshot> MakeSnapshot(const History& major, const History& minor,
                                                     std::uint32_t bytes) {
  auto snapshot = std::make_shared<server::Snapshot>();
  const History* histories[] = {&major, &minor};
  for (int kind = 0; kind < server::kKinds; ++kind) {
    std::uint32_t version = 0;
    for (const auto& names : *histories[kind]) {
      auto release = std::make_shared<server::Release>();
      release->kind = kind;
      release->version = ++version;
      for (const std::string& name : names) {
        release->files.push_back(
            {name, bytes, bytes * 3u,
             std::string(server::KindName(kind)) + "/" + std::to_string(version) + "/files/" + name + ".gz"});
      }
      snapshot->releases[kind].push_back(release);
    }
  }
  return snapshot;
}

void WriteHandmadeStore(const std::string& root, const std::vector<std::vector<HandFile>>& major,
                        const std::vector<std::vector<HandFile>>& minor) {
  const std::vector<std::vector<HandFile>>* kinds[] = {&major, &minor};
  for (int kind = 0; kind < server::kKinds; ++kind) {
    std::uint32_t version = 0;
    for (const auto& files : *kinds[kind]) {
      const std::string folder = root + "/" + server::KindName(kind) + "/" + std::to_string(++version);
      std::string manifest = "published 1700000000\n";
      for (const HandFile& f : files) {
        std::string path = f.name;
        for (char& c : path) c = c == '\\' ? '/' : c;
        fs::create_directories(fs::path(folder + "/files/" + path).parent_path());
        std::ofstream out(folder + "/files/" + path + ".gz", std::ios::binary);
        std::string block(1 << 16, 0);
        for (std::uint64_t at = 0; at < f.bytes; at += block.size()) {
          const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), f.bytes - at));
          for (std::size_t i = 0; i < n; ++i) block[i] = PatternByte(at + i);
          out.write(block.data(), static_cast<std::streamsize>(n));
        }
        manifest += "file " + std::to_string(f.bytes) + " " + std::to_string(f.bytes) + " " + f.name + "\n";
      }
      test_support::WriteFile(folder + "/manifest", manifest);
    }
  }
  test_support::WriteFile(root + "/CURRENT", "format 1\nmajor " + std::to_string(major.size()) + "\nminor " +
                                                 std::to_string(minor.size()) +
                                                 "\nnotice none\nlast-stamp 0\n");
}

void WriteHandmadeSignedState(const std::string& root, std::uint32_t major, std::uint32_t minor) {
  static const trust::KeyPair keys = trust::GenerateKeyPair();
  test_support::WriteFile(root + "/signing-key", trust::FormatPublicKeyFile(keys.publicKey));
  fs::create_directories(root + "/manifest");
  const std::string path =
      root + "/manifest/" + std::to_string(major) + "-" + std::to_string(minor) + ".manifest";
  std::string signature;
  ASSERT_TRUE(trust::Sign(keys.secretKey, "m", "stand-in", signature));
  test_support::WriteFile(path, "m");
  test_support::WriteFile(path + ".minisig", signature);
  test_support::WriteFile(path + ".gz", std::string(40, 'm'));
  test_support::WriteFile(path + ".minisig.gz", std::string(30, 's'));
}

}  // namespace server_test
