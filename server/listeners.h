// Listening sockets: opened from --listen, or inherited from a service manager.
#ifndef CAPECHO_SERVER_LISTENERS_H
#define CAPECHO_SERVER_LISTENERS_H

#include <string>
#include <vector>

#include "address.h"

namespace capecho {

struct listener {
  int fd = -1;
  std::string name;  // the bound address, as printed in "listening on"
};

// Binds and listens, non-blocking and close-on-exec. Returns -1 with
// "ADDR:PORT: reason" in `error` on failure.
int open_listener(const endpoint& at, unsigned backlog, bool reuse_port, std::string& error);

// The sockets a service manager passed with LISTEN_FDS/LISTEN_PID, made
// non-blocking and close-on-exec; the variables are then removed. Returns
// false with `error` set when they name this process but are unusable.
bool inherited_listeners(std::vector<int>& fds, std::string& error);

// The local address of a socket, as format_endpoint writes it.
std::string local_name(int fd);

}  // namespace capecho

#endif  // CAPECHO_SERVER_LISTENERS_H
