#pragma once
// Stores and folders for the server suites: source folders on disk, snapshots
// held in memory for planning, and stores written by hand as an operator
// could write them.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/release_store.h"

namespace server_test {

/// Relative path ('/' between parts) -> content.
using Files = std::map<std::string, std::string>;

/// Writes FILES below DIR, creating folders as needed.
void MakeFolder(const std::string& dir, const Files& files);
/// Every regular file below DIR, keyed by relative path.
Files ReadFolder(const std::string& dir);

/// HISTORY[v - 1] lists the names that version v of one kind changed.
using History = std::vector<std::vector<std::string>>;
/// A snapshot held in memory; every stored file is BYTES long.
std::shared_ptr<const server::Snapshot> MakeSnapshot(const History& major, const History& minor,
                                                     std::uint32_t bytes = 100);

/// A store written file by file: each stored file holds BYTES bytes of a
/// pattern (the server never looks inside).
struct HandFile {
  std::string name;
  std::uint64_t bytes;
};
void WriteHandmadeStore(const std::string& root, const std::vector<std::vector<HandFile>>& major,
                        const std::vector<std::vector<HandFile>>& minor = {});

/// Marks the hand-made store at ROOT signed (signing-key) and gives the
/// state MAJOR-MINOR its manifest files: a stand-in manifest, its gzip forms
/// of 40 and 30 bytes, and a signature of it by the store's key.
void WriteHandmadeSignedState(const std::string& root, std::uint32_t major, std::uint32_t minor);

/// The pattern byte at OFFSET of a hand-made stored file.
inline char PatternByte(std::uint64_t offset) { return static_cast<char>('a' + offset % 23); }

}  // namespace server_test
