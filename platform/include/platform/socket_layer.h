#pragma once
/// The socket layer's start. On Windows: WSAStartup asking for Windows
/// Sockets 1.1, and a layer that grants another version counts as a failure.
/// Elsewhere: checks that this process can create a TCP socket at all, and
/// makes a write to a closed connection an error return instead of a signal
/// that ends the process.

#include <cstdint>
#include <string>

namespace platform {

/// True when a TCP socket could be created (and was closed again).
bool StartSocketLayer();

/// The system's inet_addr: an IPv4 address in dotted notation (its short
/// forms too) as four bytes in network order, or all ones for anything else.
std::uint32_t InetAddr(const std::string& text);

}  // namespace platform
