// The physical limit for benchmarks: the same host and the same session loop
// as capecho-server, with the case conversion left out.
#include "host.h"
#include "session.h"

namespace {

void pass_through(int fd) {
  run_session(fd, [](unsigned char*, size_t) {});
}

}  // namespace

int main(int argc, char** argv) { return capecho::host_main(argc, argv, pass_through); }
