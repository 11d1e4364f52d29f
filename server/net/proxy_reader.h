// Reads the PROXY header that opens a connection from a load balancer,
// taking exactly its bytes from the socket, so the client's own data stays
// queued for the session.
#ifndef CAPECHO_SERVER_PROXY_READER_H
#define CAPECHO_SERVER_PROXY_READER_H

#include <chrono>

#include "failure.h"
#include "proxy_header.h"

namespace capecho {

enum class proxy_read_status {
  ok,
  invalid,    // malformed: `why` says how
  timed_out,  // not whole by the deadline
  closed,     // end of stream, or a failed read: `why` says which
  no_memory,  // a long header found no memory to be read into
};

// Allocates nothing on failure, however it fails.
proxy_read_status read_proxy_header(int fd, std::chrono::steady_clock::time_point deadline,
                                    proxy_header& header, failure& why);

}  // namespace capecho

#endif  // CAPECHO_SERVER_PROXY_READER_H
