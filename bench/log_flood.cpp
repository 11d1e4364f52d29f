// capecho-log-flood: logs session lines through the server's own log path,
// at a steady rate from several threads, to whatever standard error is; then
// prints one line of key=value pairs on standard output.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "events.h"
#include "log.h"

using namespace capecho;

namespace {

unsigned long argument(int argc, char** argv, int at, unsigned long fallback) {
  return at < argc ? strtoul(argv[at], nullptr, 10) : fallback;
}

// `count` lines, paced to `rate` a second, each a session line like the
// server's, from peers that differ.
void flood(unsigned index, unsigned long count, double rate) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  session_summary s;
  s.counted = true;
  for (unsigned long n = 0; n < count; ++n) {
    const auto due = start + std::chrono::duration_cast<clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(n) / rate));
    std::this_thread::sleep_until(due);
    const std::string peer = "127.0." + std::to_string(index) + "." + std::to_string(1 + n % 250) +
                             ":" + std::to_string(32768 + n % 28000);
    s.peer = peer.c_str();
    s.seconds = 0.001 * static_cast<double>(n % 7);
    s.received = 7 + n % 100;
    s.sent = s.received + 9;
    log_session(s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--help") {
    puts("usage: capecho-log-flood [RATE [SECONDS [THREADS]]]  (default 20000 5 4)");
    return 0;
  }
  const unsigned long rate = argument(argc, argv, 1, 20000);
  const unsigned long seconds = argument(argc, argv, 2, 5);
  const unsigned long threads = argument(argc, argv, 3, 4);
  if (rate == 0 || seconds == 0 || threads == 0 || threads > 64) {
    (void)fputs("capecho-log-flood: RATE, SECONDS and THREADS must be positive\n", stderr);
    return 2;
  }
  set_log_level(verbosity::verbose);
  failure why;
  if (!start_log_writer(why, describe_lines_dropped)) {
    (void)fprintf(stderr, "capecho-log-flood: cannot start the log thread: %s\n",
                  failure_text(why).c_str());
    return 1;
  }
  const unsigned long each = rate * seconds / threads;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> producers;
  for (unsigned i = 0; i < threads; ++i)
    producers.emplace_back(flood, i, each,
                           static_cast<double>(rate) / static_cast<double>(threads));
  for (auto& t : producers) t.join();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  stop_log_writer(std::chrono::seconds(30));
  printf("result lines=%lu dropped=%llu seconds=%.2f lines_per_s=%.0f\n", each * threads,
         log_lines_dropped(), took.count(), static_cast<double>(each * threads) / took.count());
  return fflush(stdout) == 0 ? 0 : 1;
}
