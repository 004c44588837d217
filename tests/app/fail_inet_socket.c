/* Preloaded into the updater by a test: refuses every Internet socket, as a
   machine without a usable network stack would, and leaves the display's
   local sockets alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  if (domain == AF_INET || domain == AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  int (*real)(int, int, int) = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  return real(domain, type, protocol);
}
