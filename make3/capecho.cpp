// One client's whole session: greeting, upper-cased echo of every chunk, and
// the terminator chunk ".\r\n" that ends it.
#include "socket.h"

#include "capecho.h"
#include "case_map.h"
#include "session.h"

static_assert(chunk_capacity % case_block == 0, "conversion runs over whole blocks");

extern "C" void send_msg(int sockfd) {
  case_map map;
  build_case_map(map);  // once per session, in the locale of the calling thread
  run_session(sockfd, [&map](unsigned char* buf, size_t n) { upcase(map, buf, n); });
}
