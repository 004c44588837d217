#include "platform/socket_layer.h"

#include <winsock2.h>

namespace platform {

bool StartSocketLayer() {
  // Windows Sockets 1.1, and nothing else: a layer that offers another
  // version is given back.
  WSADATA data{};
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  if (data.wVersion != MAKEWORD(1, 1)) {
    WSACleanup();
    return false;
  }
  return true;
}

std::uint32_t InetAddr(const std::string& text) {
  return static_cast<std::uint32_t>(::inet_addr(text.c_str()));
}

}  // namespace platform
