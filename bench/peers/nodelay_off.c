/* Preloaded into capecho-server for the "capecho-nagle" rows:
 * setsockopt(IPPROTO_TCP, TCP_NODELAY, ...) reports success and does nothing,
 * so the shipped binary streams with Nagle's algorithm on, as the peers that
 * keep their stack's default do. Every other setsockopt goes to libc. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  static int (*real)(int, int, int, const void*, socklen_t);
  if (level == IPPROTO_TCP && name == TCP_NODELAY) return 0;
  if (!real) real = (int (*)(int, int, int, const void*, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
  return real(fd, level, name, value, len);
}
