#pragma once
/// The game servers of a plain server list (Server.lst, the unscrambled
/// Server.cnv), read without any window: the entries the server selection
/// shows, in its order.

#include <cstdint>
#include <string>
#include <vector>

namespace ui {

struct ServerEntry {
  std::string name;       ///< the file's bytes, at most 127
  std::uint32_t address;  ///< network order; all ones when the text is no address
};

/// The entries "NameN" and "IPN" of section [Server], N from 0 up to "Count"
/// (but no further than the highest N present), missing ones empty. The file
/// is read once, however long the list is.
std::vector<ServerEntry> ReadServerList(const std::string& listPath);

}  // namespace ui
