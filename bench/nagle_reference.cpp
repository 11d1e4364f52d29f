// The usual way to write this server, for comparison: a pass-through loop of
// one read and one write per chunk, with Nagle's algorithm left on (the host's
// TCP_NODELAY cleared) and no joining of echoes.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "host.h"
#include "session.h"

namespace {

void pass_through_with_nagle(int fd) {
  const int off = 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off) != 0) return;
  run_session(
      fd, [](unsigned char*, size_t) {}, false);
}

}  // namespace

int main(int argc, char** argv) { return capecho::host_main(argc, argv, pass_through_with_nagle); }
