// One session through the installed library: records are queued on a
// SOCK_SEQPACKET pair first, so send_msg runs it all in this thread.
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <capecho.h>

int main() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return 1;
  if (write(fds[0], "installed\r\n", 11) != 11 || write(fds[0], ".\r\n", 3) != 3) return 1;
  send_msg(fds[1]);
  char greeting[16], echo[16];
  const ssize_t g = read(fds[0], greeting, sizeof greeting);
  const ssize_t e = read(fds[0], echo, sizeof echo);
  if (g != 9 || memcmp(greeting, "Hello!!\n", 9) != 0 || e != 11 ||
      memcmp(echo, "INSTALLED\r\n", 11) != 0) {
    (void)fputs("consumer: wrong session\n", stderr);
    return 1;
  }
  (void)puts("consumer: session complete");
  return 0;
}
