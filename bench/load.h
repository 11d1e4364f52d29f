// The load generator's model of a run: what each connection does, and what
// the run measured.
#ifndef CAPECHO_BENCH_LOAD_H
#define CAPECHO_BENCH_LOAD_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace capecho_bench {

struct target {
  std::string host = "127.0.0.1";
  int port = 7007;
};

// What every connection slot does: connect, greeting, `echoes` round trips of
// `chunk` bytes, then the terminator (and wait for the close) or hold the
// session open; `sessions` times over.
struct session_plan {
  size_t chunk = 1024;
  unsigned echoes = 1;
  unsigned sessions = 1;
  bool hold = false;
  unsigned connections = 1;
  unsigned max_connecting = 256;  // connects in flight, so the backlog never overflows
  double max_seconds = 120;
  bool upper_cased = true;  // false for the pass-through server, which echoes unchanged
};

struct run_result {
  double seconds = 0;               // first connect to last completion
  double establish_seconds = 0;     // hold: until every session was greeted and echoed
  uint64_t sessions = 0;            // completed
  uint64_t echoes = 0;              // verified
  uint64_t bytes = 0;               // verified echo bytes
  uint64_t errors = 0;              // wrong bytes, early closes, failed connects, time-outs
  std::vector<uint32_t> latencies;  // nanoseconds per round trip
};

// Runs the plan over epoll from one thread. With hold, returns while the
// sessions are still open and calls `while_held` first.
run_result run_sessions(const target& t, const session_plan& plan,
                        void (*while_held)(void*) = nullptr, void* context = nullptr);

// The same, with the connections dealt over `threads` threads of their own,
// like as many independent clients: on a machine the server shares, one
// thread gets one thread's share of the CPUs however many the server runs.
run_result run_sessions_on_threads(const target& t, const session_plan& plan, unsigned threads);

// One connection writes `total_bytes`, a `chunk`-byte pattern over and over
// in writes of many chunks, while reading the echo at the same time.
run_result run_stream(const target& t, size_t chunk, uint64_t total_bytes, double max_seconds,
                      bool upper_cased);

// The chunk a slot sends (mixed-case letters and digits, never a terminator)
// and what must come back for it.
std::string test_chunk(size_t size, unsigned seed);
std::string upper_ascii(std::string s);

}  // namespace capecho_bench

#endif  // CAPECHO_BENCH_LOAD_H
