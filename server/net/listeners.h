// Listening sockets: opened from --listen, or inherited from a service manager.
#ifndef CAPECHO_SERVER_LISTENERS_H
#define CAPECHO_SERVER_LISTENERS_H

#include <optional>
#include <string>
#include <vector>

#include "address.h"
#include "session_socket.h"
#include "unique_fd.h"

namespace capecho {

struct listener {
  unique_fd fd;
  std::string name;  // the bound address, as printed in "listening on"
  // Made on each connection accepted, where it does not inherit them from
  // the listener: on Unix-domain sockets.
  std::optional<session_socket_settings> per_connection;
};

// Whether a socket is of the Unix domain.
bool is_unix_domain(int fd);

// Binds and listens, non-blocking and close-on-exec; a Unix-domain socket
// file as socket_file.h says. An invalid descriptor,
// with the failed call in `why`, on failure.
unique_fd open_listener(const endpoint& at, unsigned backlog, bool reuse_port, failure& why);

// The sockets a service manager passed with LISTEN_FDS/LISTEN_PID, made
// non-blocking and close-on-exec; the variables are then removed. Returns
// false with `why` set when they name this process but are unusable. When
// LISTEN_PID names another process, says so in the log and returns none.
bool inherited_listeners(std::vector<unique_fd>& fds, failure& why);

// Clients that have connected and wait to be accepted: the kernel's queue
// length on TCP, else 1 or 0 by whether one is there.
size_t pending_connections(int listener_fd);

// The local address of a socket, as format_endpoint writes it.
std::string local_name(int fd);

}  // namespace capecho

#endif  // CAPECHO_SERVER_LISTENERS_H
