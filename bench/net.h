// Loopback sockets for the load generator.
#ifndef CAPECHO_BENCH_NET_H
#define CAPECHO_BENCH_NET_H

#include "load.h"

namespace capecho_bench {

// A non-blocking TCP socket with connect() started; -1 on failure.
int start_connect(const target& t);

// True once a started connect has completed without error.
bool connect_succeeded(int fd);

double seconds_since(uint64_t start_ns);
uint64_t now_ns();

}  // namespace capecho_bench

#endif  // CAPECHO_BENCH_NET_H
