// capecho-bench: a verifying load generator for the echo server, loopback only.
// Each run ends with one line of key=value pairs for scripts to read.
#include <arpa/inet.h>
#include <getopt.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "load.h"

using namespace capecho_bench;

namespace {

constexpr int exit_usage = 2;

struct bench_options {
  std::string mode;
  target to;
  unsigned connections = 1;
  unsigned rounds = 10000;
  size_t size = 1024;
  unsigned mib = 256;
  unsigned sessions = 1000;
  unsigned threads = 1;
  long server_pid = 0;
  double max_seconds = 300;
  int cpu = -1;
  bool passthrough = false;
};

const char usage[] =
    "Usage: capecho-bench MODE [OPTION]...\n"
    "Drives a capecho server on loopback and verifies every byte it sends back.\n"
    "Modes:\n"
    "  pingpong   C connections, K round trips of S-byte messages each (one write;\n"
    "             above 1024 bytes a message spans several chunks)\n"
    "  stream     one connection writes M MiB in S-byte chunks while reading the echo\n"
    "  sessions   C connections, N whole sessions each (greeting, one echo, terminator)\n"
    "  hold       C sessions opened and held, each greeted and echoed once\n"
    "Options:\n"
    "  --host ADDR        server address, 127.0.0.1 (default) or ::1\n"
    "  --port N           server port (default 7007)\n"
    "  --conns C          connections (default 1)\n"
    "  --rounds K         round trips per connection in pingpong (default 10000)\n"
    "  --size S           message or chunk size in bytes, 1 to 65536 (default 1024)\n"
    "  --mib M            stream volume in MiB (default 256)\n"
    "  --sessions N       sessions per connection in sessions mode (default 1000)\n"
    "  --threads T        sessions mode: the connections dealt over T threads (default 1)\n"
    "  --server-pid PID   hold: report the server's peak RSS from /proc\n"
    "  --max-seconds T    give up after T seconds; unfinished work counts as errors (default 300)\n"
    "  --cpu N            pin the load generator to CPU N\n"
    "  --passthrough      the server echoes unchanged: verify that instead\n"
    "Exit status: 0 when every byte was right, 1 on any error, 2 on bad usage.\n";

bool is_loopback(const std::string& host) {
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  return host == "::1";
}

[[noreturn]] void usage_error(const std::string& what) {
  (void)fprintf(stderr, "capecho-bench: %s (see --help)\n", what.c_str());
  exit(exit_usage);
}

unsigned long number(const char* name, const char* text, unsigned long low, unsigned long high) {
  char* end = nullptr;
  const unsigned long v = strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || v < low || v > high)
    usage_error(std::string("--") + name + ": '" + text + "' is not a number from " +
                std::to_string(low) + " to " + std::to_string(high));
  return v;
}

bench_options parse(int argc, char** argv) {
  static const option longs[] = {{"host", required_argument, nullptr, 'H'},
                                 {"port", required_argument, nullptr, 'p'},
                                 {"conns", required_argument, nullptr, 'c'},
                                 {"rounds", required_argument, nullptr, 'k'},
                                 {"size", required_argument, nullptr, 's'},
                                 {"mib", required_argument, nullptr, 'm'},
                                 {"sessions", required_argument, nullptr, 'n'},
                                 {"threads", required_argument, nullptr, 'T'},
                                 {"server-pid", required_argument, nullptr, 'P'},
                                 {"max-seconds", required_argument, nullptr, 't'},
                                 {"cpu", required_argument, nullptr, 'C'},
                                 {"passthrough", no_argument, nullptr, 'X'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  bench_options o;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", longs, nullptr)) != -1;) {
    switch (c) {
      case 'H':
        o.to.host = optarg;
        break;
      case 'p':
        o.to.port = static_cast<int>(number("port", optarg, 1, 65535));
        break;
      case 'c':
        o.connections = static_cast<unsigned>(number("conns", optarg, 1, 100000));
        break;
      case 'k':
        o.rounds = static_cast<unsigned>(number("rounds", optarg, 0, 100000000));
        break;
      case 's':
        o.size = number("size", optarg, 1, 65536);
        break;
      case 'm':
        o.mib = static_cast<unsigned>(number("mib", optarg, 1, 65536));
        break;
      case 'n':
        o.sessions = static_cast<unsigned>(number("sessions", optarg, 1, 100000000));
        break;
      case 'T':
        o.threads = static_cast<unsigned>(number("threads", optarg, 1, 1024));
        break;
      case 'P':
        o.server_pid = static_cast<long>(number("server-pid", optarg, 1, 1u << 30));
        break;
      case 't':
        o.max_seconds = static_cast<double>(number("max-seconds", optarg, 1, 86400));
        break;
      case 'C':
        o.cpu = static_cast<int>(number("cpu", optarg, 0, 1023));
        break;
      case 'X':
        o.passthrough = true;
        break;
      case 'h':
        (void)fputs(usage, stdout);
        exit(0);
      default:
        usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind != argc - 1) usage_error("give exactly one mode");
  o.mode = argv[optind];
  if (o.mode != "pingpong" && o.mode != "stream" && o.mode != "sessions" && o.mode != "hold")
    usage_error("unknown mode '" + o.mode + "'");
  if (!is_loopback(o.to.host)) usage_error("--host: only loopback addresses are driven");
  return o;
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double percentile_us(std::vector<uint32_t>& ns, double q) {
  if (ns.empty()) return 0;
  const size_t at =
      std::min(ns.size() - 1, static_cast<size_t>(q * static_cast<double>(ns.size())));
  std::nth_element(ns.begin(), ns.begin() + static_cast<long>(at), ns.end());
  return ns[at] / 1000.0;
}

// VmHWM (peak) of a process, in KiB; 0 when unknown.
long peak_rss_kib(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// What the whole machine spends, from /proc/meminfo, in KiB.
struct system_memory {
  long used = 0;  // MemTotal - MemAvailable
  long slab = 0;
  long kernel_stack = 0;
};

system_memory read_system_memory() {
  std::ifstream meminfo("/proc/meminfo");
  long total = 0, available = 0;
  system_memory m;
  for (std::string key; meminfo >> key;) {
    long kib = 0;
    meminfo >> kib;
    meminfo.ignore(64, '\n');
    if (key == "MemTotal:") total = kib;
    if (key == "MemAvailable:") available = kib;
    if (key == "Slab:") m.slab = kib;
    if (key == "KernelStack:") m.kernel_stack = kib;
  }
  m.used = total - available;
  return m;
}

struct hold_probe {
  long pid = 0;
  long rss_kib = 0;
  system_memory before, held;
};

// Sampled once every session is held and has gone quiet long enough for
// the server to settle (threads that parked sessions leave, for one).
void measure_while_held(void* context) {
  auto* probe = static_cast<hold_probe*>(context);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  probe->held = read_system_memory();
  if (probe->pid > 0) probe->rss_kib = peak_rss_kib(probe->pid);
}

}  // namespace

int main(int argc, char** argv) {
  bench_options o = parse(argc, argv);
  raise_descriptor_limit();
  if (o.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(o.cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) perror("capecho-bench: sched_setaffinity");
  }

  session_plan plan;
  plan.chunk = o.size;
  plan.connections = o.connections;
  plan.max_seconds = o.max_seconds;
  plan.upper_cased = !o.passthrough;
  run_result r;
  hold_probe probe;
  probe.pid = o.server_pid;
  probe.before = read_system_memory();
  std::string extra;
  if (o.mode == "stream") {
    r = run_stream(o.to, o.size, static_cast<uint64_t>(o.mib) << 20, o.max_seconds,
                   plan.upper_cased);
    extra = " mib=" + std::to_string(o.mib) +
            " mb_per_s=" + std::to_string(static_cast<double>(r.bytes) / 1e6 / r.seconds);
  } else {
    if (o.mode == "pingpong") {
      plan.echoes = o.rounds;
    } else if (o.mode == "sessions") {
      plan.sessions = o.sessions;
    } else {
      plan.hold = true;
    }
    r = o.mode == "sessions" ? run_sessions_on_threads(o.to, plan, o.threads)
                             : run_sessions(o.to, plan, measure_while_held, &probe);
    if (o.mode == "pingpong") {
      extra = " rounds=" + std::to_string(o.rounds) +
              " rtt_per_s=" + std::to_string(static_cast<double>(r.echoes) / r.seconds) +
              " p50_us=" + std::to_string(percentile_us(r.latencies, 0.50)) +
              " p99_us=" + std::to_string(percentile_us(r.latencies, 0.99)) +
              " p999_us=" + std::to_string(percentile_us(r.latencies, 0.999));
    } else if (o.mode == "sessions") {
      extra = " sessions_per_conn=" + std::to_string(o.sessions) +
              " sessions_per_s=" + std::to_string(static_cast<double>(r.sessions) / r.seconds);
    } else {
      extra = " held=" + std::to_string(r.echoes) +
              " establish_s=" + std::to_string(r.establish_seconds) +
              " server_peak_rss_kib=" + std::to_string(probe.rss_kib);
      const double held = std::max<double>(1, static_cast<double>(r.echoes));
      auto per_session = [held](long before, long during) {
        return std::to_string(
            static_cast<long>(static_cast<double>(during - before) * 1024 / held));
      };
      extra += " system_bytes_per_session=" + per_session(probe.before.used, probe.held.used) +
               " slab_bytes_per_session=" + per_session(probe.before.slab, probe.held.slab) +
               " kernel_stack_bytes_per_session=" +
               per_session(probe.before.kernel_stack, probe.held.kernel_stack);
    }
  }
  printf("result mode=%s conns=%u size=%zu seconds=%.6f echoes=%llu sessions=%llu errors=%llu%s\n",
         o.mode.c_str(), o.connections, o.size, r.seconds,
         static_cast<unsigned long long>(r.echoes), static_cast<unsigned long long>(r.sessions),
         static_cast<unsigned long long>(r.errors), extra.c_str());
  return r.errors == 0 ? 0 : 1;
}
