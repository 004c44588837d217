#include "platform/socket_layer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace platform {

bool StartSocketLayer() {
  const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return false;
  close(fd);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

std::uint32_t InetAddr(const std::string& text) {
  return static_cast<std::uint32_t>(::inet_addr(text.c_str()));
}

}  // namespace platform
