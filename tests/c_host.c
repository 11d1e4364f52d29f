/* A host written in C: includes only capecho.h, links the archive with the
 * C compiler and libc, and runs one whole session. The client's records are
 * queued on a SOCK_SEQPACKET pair first, so one thread suffices. */
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capecho.h"

static int expect_record(int fd, const char* want, size_t len) {
  char buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n != (ssize_t)len || memcmp(buf, want, len) != 0) {
    fprintf(stderr, "c_host: unexpected record of %zd bytes\n", n);
    return 1;
  }
  return 0;
}

int main(void) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    perror("c_host: socketpair");
    return 1;
  }
  if (write(fds[0], "from C\r\n", 8) != 8 || write(fds[0], ".\r\n", 3) != 3) {
    perror("c_host: write");
    return 1;
  }
  send_msg(fds[1]);
  if (expect_record(fds[0], "Hello!!\n", 9) || expect_record(fds[0], "FROM C\r\n", 8)) return 1;
  close(fds[0]);
  close(fds[1]);
  puts("c_host: session complete");
  return 0;
}
