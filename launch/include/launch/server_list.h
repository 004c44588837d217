#pragma once
/// The game servers of the scrambled server list (Server.cnv), read through a
/// temporary plain Server.lst without any window: the entries the server
/// selection shows, in its order.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace launch {

struct ServerEntry {
  std::string name;       ///< the file's bytes, at most 127
  std::uint32_t address;  ///< network order; all ones when the text is no address
};

/// The entries "NameN" and "IPN" of section [Server], N from 0 up to "Count"
/// (but no further than the highest N present), missing ones empty. The file
/// is read once, however long the list is.
std::vector<ServerEntry> ReadServerList(const std::string& listPath);

/// The entries of SCRAMBLEDPATH (created empty when missing), unscrambled
/// into Server.lst in the user's temporary directory, read with
/// ReadServerList, and that copy removed. Nothing when the copy cannot be
/// made.
std::optional<std::vector<ServerEntry>> LoadServerList(const std::string& scrambledPath = "Server.cnv");

}  // namespace launch
