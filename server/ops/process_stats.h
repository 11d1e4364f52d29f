// The process's own figures, as every Prometheus client library exports
// them: CPU time, resident memory, descriptors and start time. Read from
// /proc and getrlimit on each scrape into buffers on the stack.
#ifndef CAPECHO_SERVER_PROCESS_STATS_H
#define CAPECHO_SERVER_PROCESS_STATS_H

namespace capecho {

// A figure that cannot be read is negative, and left out of the metrics.
struct process_stats {
  double cpu_seconds = -1;     // user and system
  double resident_bytes = -1;  // resident set size
  double open_fds = -1;
  double max_fds = -1;             // the soft RLIMIT_NOFILE
  double start_time_seconds = -1;  // since the Unix epoch
};

process_stats read_process_stats();

}  // namespace capecho

#endif  // CAPECHO_SERVER_PROCESS_STATS_H
