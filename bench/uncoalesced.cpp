// capecho-server as it was before echoes were joined: the same host, the same
// session loop and conversion, every echo sent on its own. The baseline the
// coalescing figures are measured against.
#include "case_map.h"
#include "host.h"
#include "session.h"

namespace {

void send_each_echo_alone(int fd) {
  case_map map;
  build_case_map(map);
  run_session(
      fd, [&map](unsigned char* buf, size_t n) { upcase(map, buf, n); }, false);
}

}  // namespace

int main(int argc, char** argv) { return capecho::host_main(argc, argv, send_each_echo_alone); }
