// capecho-loadgen: drives any server of the capecho protocol (greeting,
// upper-case echo, terminator) for bench/compare, so that capecho-server and
// the servers in other stacks are measured by one client. Every byte that
// comes back is checked; a wrong byte, a missing greeting, a missing close
// after the terminator or a timeout is an error, counted and reported.
// Traffic goes only to 127.0.0.0/8.
//
// Modes (see --help): pingpong, stream, sessions, hold, conform, freeport.
// Each run ends with one line on stdout:  RESULT mode=... key=value ...

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <latch>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kGreeting[9] = "Hello!!\n";  // 8 characters and the zero byte
constexpr char kTerm[3] = {'.', '\r', '\n'};

struct Options {
  std::string mode;
  std::string host = "127.0.0.1";
  int port = 0;
  int conns = 1;
  long rounds = 10000;
  int size = 1024;
  long mib = 64;
  long sessions = 100;
  double hold_secs = 0;
  int pid = 0;
  int timeout_ms = 5000;
  double max_secs = 60;
  bool lenient = false;  // peer may echo the terminator and close only on EOF
  bool expect_upper = true;
  int nodelay = -1;  // -1: on, except in stream mode (see --help)
  int inflight = 512;
  uint64_t seed = 1;
  int cpu = -1;
  int sources = 64;  // client source addresses 127.0.0.2 and up; 0: the kernel's choice
  std::string label = "-";
  std::string spawn;
};

Options g_opt;
sockaddr_in g_addr{};

// ---------------------------------------------------------------- utilities

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double cpu_secs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Reads a number in `base` at s (leading blanks skipped) that must end at
// `stop`, and moves s past the stop character.
bool take_num(const char*& s, int base, char stop, unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, base);
  if (errno != 0 || end == s || *end != stop) return false;
  out = v;
  s = end + 1;
  return true;
}

// Past the next blank-separated field of s.
const char* skip_field(const char* s) {
  while (*s == ' ') ++s;
  while (*s != ' ' && *s != '\0') ++s;
  return s;
}

// CPU seconds of a server process and of the children it has reaped
// (fork-per-connection hosts); -1 when unknown.
double server_cpu_secs() {
  if (g_opt.pid <= 0) return -1;
  char path[64], buf[1024];
  (void)snprintf(path, sizeof path, "/proc/%d/stat", g_opt.pid);  // fits: an int and 11 bytes
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  (void)fclose(f);  // read-only: nothing to lose
  buf[n] = '\0';
  const char* p = strrchr(buf, ')');  // the name in parentheses may hold blanks
  if (!p) return -1;
  // Past state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt
  // cmajflt come utime stime cutime cstime, in clock ticks.
  ++p;
  for (int i = 0; i < 11; ++i) p = skip_field(p);
  unsigned long long sum = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned long long ticks = 0;
    if (!take_num(p, 10, ' ', ticks)) return -1;
    sum += ticks;
  }
  return static_cast<double>(sum) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// "server_cpu_pct=N" for RESULT lines, or "server_cpu_pct=-" when unknown.
std::string server_cpu_field(double before, double after, double secs) {
  char b[48];
  if (before < 0 || after < 0) return "server_cpu_pct=-";
  int n = snprintf(b, sizeof b, "server_cpu_pct=%.1f", 100.0 * (after - before) / secs);
  if (n < 0 || static_cast<size_t>(n) >= sizeof b) return "server_cpu_pct=-";  // no cut-off figure
  return b;
}

std::atomic<long> g_errors{0};
std::mutex g_err_mu;

// Count an error; print only the first few so a broken server cannot flood.
// Nothing is done about a failed write to stderr: there is nowhere else to say it.
__attribute__((format(printf, 1, 2))) void error(const char* fmt, ...) {
  long n = g_errors.fetch_add(1) + 1;
  if (n > 10) return;
  std::lock_guard<std::mutex> lk(g_err_mu);
  va_list ap;
  va_start(ap, fmt);
  (void)fprintf(stderr, "loadgen: error: ");
  (void)vfprintf(stderr, fmt, ap);
  (void)fprintf(stderr, "%s\n", n == 10 ? " (further errors not shown)" : "");
  va_end(ap);
}

pid_t g_child = -1;
void stop_server();

[[noreturn]] __attribute__((format(printf, 1, 2))) void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  (void)fprintf(stderr, "loadgen: ");
  (void)vfprintf(stderr, fmt, ap);
  (void)fprintf(stderr, "\n");
  va_end(ap);
  stop_server();
  exit(2);
}

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
};

void fill_alnum(char* p, size_t n, Rng& rng) {
  static const char set[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (size_t i = 0; i < n; ++i) p[i] = set[rng.next() % 62];
}

// What the server must send back for the bytes in p.
void expected_echo(const char* p, char* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = p[i];
    out[i] = (g_opt.expect_upper && c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
}

void raise_nofile() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

long nofile_limit() {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  return static_cast<long>(rl.rlim_cur);
}

// ------------------------------------------------------- blocking socket I/O

enum IoResult { IO_OK, IO_EOF, IO_TIMEOUT, IO_ERR };

const char* io_name(IoResult r) {
  switch (r) {
    case IO_OK:
      return "ok";
    case IO_EOF:
      return "connection closed";
    case IO_TIMEOUT:
      return "timeout";
    default:
      return strerror(errno);
  }
}

// Options that cannot fail on a TCP socket unless the program is wrong: a
// failure ends the run rather than skew it.
void set_option(int fd, int level, int name, const void* value, socklen_t len, const char* what) {
  if (setsockopt(fd, level, name, value, len) != 0)
    die("setsockopt(%s): %s", what, strerror(errno));
}

void set_timeouts(int fd) {
  timeval tv{g_opt.timeout_ms / 1000, static_cast<suseconds_t>(g_opt.timeout_ms % 1000) * 1000};
  set_option(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv, "SO_RCVTIMEO");
  set_option(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv, "SO_SNDTIMEO");
}

void set_nodelay(int fd) {
  int one = 1;
  if (g_opt.nodelay == 1) set_option(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one, "TCP_NODELAY");
}

std::atomic<uint32_t> g_next_source{0};

// Session churn leaves a TIME_WAIT socket per connection for a minute, and
// from one source address a few tens of thousands of them use up the
// ephemeral ports: connect fails for a reason that is no server's. Each
// socket takes the next of --sources addresses 127.0.0.2, 127.0.0.3, ...
// in turn, with IP_BIND_ADDRESS_NO_PORT so that connect() still picks the
// port, per destination, rather than bind() reserving one outright.
void bind_source(int fd) {
  if (g_opt.sources == 0) return;
  int one = 1;
  set_option(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one, "IP_BIND_ADDRESS_NO_PORT");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  uint32_t k =
      g_next_source.fetch_add(1, std::memory_order_relaxed) % static_cast<uint32_t>(g_opt.sources);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + k);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
    die("bind to 127.0.0.%u: %s", 2 + k, strerror(errno));
}

// Connections that could not be made, in every mode: a separate count, as
// they say more about the client's machine than about the server.
std::atomic<long> g_connect_errors{0};

// Blocking connect with send/receive timeouts; -1 on failure (errno kept).
int connect_blocking() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    g_connect_errors.fetch_add(1);
    return -1;
  }
  set_timeouts(fd);
  set_nodelay(fd);
  bind_source(fd);
  int r = connect(fd, reinterpret_cast<const sockaddr*>(&g_addr), sizeof g_addr);
  // An interrupted connect goes on in the background; poll says when it is done.
  if (r != 0 && errno == EINTR) {
    pollfd pf{fd, POLLOUT, 0};
    int n;
    do n = poll(&pf, 1, g_opt.timeout_ms);
    while (n < 0 && errno == EINTR);
    int err = n > 0 ? 0 : ETIMEDOUT;
    socklen_t len = sizeof err;
    if (n > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    errno = err;
    r = err == 0 ? 0 : -1;
  }
  if (r == 0) return fd;
  int e = errno;
  close(fd);
  g_connect_errors.fetch_add(1);
  errno = e;
  return -1;
}

IoResult write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return (errno == EAGAIN || errno == EWOULDBLOCK) ? IO_TIMEOUT : IO_ERR;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return IO_OK;
}

IoResult read_exact(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
    } else if (r == 0) {
      return IO_EOF;
    } else if (errno != EINTR) {
      return (errno == EAGAIN || errno == EWOULDBLOCK) ? IO_TIMEOUT : IO_ERR;
    }
  }
  return IO_OK;
}

bool read_greeting(int fd, const char* who) {
  char g[sizeof kGreeting];
  IoResult r = read_exact(fd, g, sizeof g);
  if (r != IO_OK) {
    error("%s: greeting: %s", who, io_name(r));
    return false;
  }
  if (memcmp(g, kGreeting, sizeof g) != 0) {
    error("%s: wrong greeting bytes", who);
    return false;
  }
  return true;
}

std::atomic<long> g_term_echoed{0};

// Send the terminator chunk and check that the server closes with nothing
// more. A lenient run half-closes after the terminator and also accepts the
// terminator coming back (peers that only stop at EOF).
bool end_session(int fd, const char* who) {
  IoResult r = write_all(fd, kTerm, sizeof kTerm);
  if (r != IO_OK) {
    error("%s: sending terminator: %s", who, io_name(r));
    return false;
  }
  if (g_opt.lenient) shutdown(fd, SHUT_WR);
  char extra[64];
  size_t got = 0;
  for (;;) {
    ssize_t n = read(fd, extra + got, sizeof extra - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        error("%s: no close within %d ms after the terminator", who, g_opt.timeout_ms);
      } else if (errno == ECONNRESET && got == 0) {
        break;  // closed (with unread data on its side): still a close
      } else {
        error("%s: after terminator: %s", who, strerror(errno));
      }
      return false;
    }
    got += static_cast<size_t>(n);
    if (got == sizeof extra) break;
  }
  if (got == 0) return true;
  if (g_opt.lenient && got == sizeof kTerm && memcmp(extra, kTerm, sizeof kTerm) == 0) {
    g_term_echoed.fetch_add(1);
    return true;
  }
  error("%s: %zu unexpected byte(s) after the terminator", who, got);
  return false;
}

// Percentile of a sorted-in-place sample, in microseconds.
double pct_us(std::vector<uint32_t>& v, double q) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(std::llround(q * static_cast<double>(v.size() - 1)));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k] / 1000.0;
}

uint32_t clamp_ns(uint64_t d) { return d > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(d); }

// ------------------------------------------------------------------ pingpong

int run_pingpong() {
  const int C = g_opt.conns;
  const size_t S = static_cast<size_t>(g_opt.size);
  const long K = g_opt.rounds;
  constexpr int kPayloads = 64;
  std::vector<char> send(kPayloads * S), expect(kPayloads * S);
  Rng rng(g_opt.seed);
  fill_alnum(send.data(), send.size(), rng);
  expected_echo(send.data(), expect.data(), send.size());

  std::vector<std::vector<uint32_t>> lat(static_cast<size_t>(C));
  std::vector<long> done(static_cast<size_t>(C), 0);
  std::latch ready(C + 1);
  std::atomic<bool> go{false};
  std::atomic<uint64_t> t_end{0};
  uint64_t deadline_ns = 0;

  auto conn = [&](int idx) {
    char who[32];
    (void)snprintf(who, sizeof who, "conn %d", idx);  // fits
    int fd = connect_blocking();
    bool ok = fd >= 0;
    if (!ok) error("%s: connect: %s", who, strerror(errno));
    if (ok) ok = read_greeting(fd, who);
    ready.count_down();
    while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
    if (!ok) {
      if (fd >= 0) close(fd);
      return;
    }
    std::vector<uint32_t>& l = lat[static_cast<size_t>(idx)];
    l.reserve(static_cast<size_t>(K));
    std::vector<char> rbuf(S);
    long r = 0;
    for (; r < K; ++r) {
      size_t slot = static_cast<size_t>((r + idx) % kPayloads) * S;
      uint64_t t0 = now_ns();
      if (t0 > deadline_ns) break;
      IoResult w = write_all(fd, send.data() + slot, S);
      IoResult rd = w == IO_OK ? read_exact(fd, rbuf.data(), S) : w;
      uint64_t t1 = now_ns();
      if (rd != IO_OK) {
        error("%s: round %ld: %s", who, r, io_name(rd));
        ok = false;
        break;
      }
      if (memcmp(rbuf.data(), expect.data() + slot, S) != 0) {
        error("%s: round %ld: echo differs from the expected bytes", who, r);
        ok = false;
        break;
      }
      l.push_back(clamp_ns(t1 - t0));
    }
    done[static_cast<size_t>(idx)] = r;
    uint64_t te = now_ns(), prev = t_end.load();
    while (te > prev && !t_end.compare_exchange_weak(prev, te)) {
    }
    if (ok) end_session(fd, who);
    close(fd);
  };

  std::vector<std::thread> th;
  th.reserve(static_cast<size_t>(C));
  for (int i = 0; i < C; ++i) th.emplace_back(conn, i);
  ready.arrive_and_wait();
  double cpu0 = cpu_secs(), scpu0 = server_cpu_secs();
  uint64_t t0 = now_ns();
  deadline_ns = t0 + static_cast<uint64_t>(g_opt.max_secs * 1e9);
  go.store(true, std::memory_order_release);
  for (auto& t : th) t.join();
  double cpu = cpu_secs() - cpu0, scpu1 = server_cpu_secs();
  double secs = static_cast<double>(t_end.load() > t0 ? t_end.load() - t0 : 1) / 1e9;

  std::vector<uint32_t> all;
  long total = 0;
  for (int i = 0; i < C; ++i) {
    total += static_cast<long>(lat[static_cast<size_t>(i)].size());
    all.insert(all.end(), lat[static_cast<size_t>(i)].begin(), lat[static_cast<size_t>(i)].end());
  }
  if (total < static_cast<long>(C) * K && g_errors.load() == 0)
    (void)fprintf(stderr,
                  "loadgen: note: stopped at the %.0f s bound after %ld of %ld round trips\n",
                  g_opt.max_secs, total, static_cast<long>(C) * K);
  double p50 = pct_us(all, 0.50), p99 = pct_us(all, 0.99), p999 = pct_us(all, 0.999);
  printf(
      "RESULT mode=pingpong label=%s conns=%d size=%zu rounds=%ld rt=%ld secs=%.4f rtps=%.1f "
      "p50_us=%.2f p99_us=%.2f p999_us=%.2f mbps=%.2f errors=%ld connect_errors=%ld "
      "term_echoed=%ld "
      "client_cpu_pct=%.1f %s\n",
      g_opt.label.c_str(), C, S, K, total, secs, static_cast<double>(total) / secs, p50, p99, p999,
      static_cast<double>(total) * static_cast<double>(S) / secs / 1e6, g_errors.load(),
      g_connect_errors.load(), g_term_echoed.load(), 100.0 * cpu / secs,
      server_cpu_field(scpu0, scpu1, secs).c_str());
  return g_errors.load() ? 1 : 0;
}

// -------------------------------------------------------------------- stream

int run_stream() {
  const size_t S = static_cast<size_t>(g_opt.size);
  const uint64_t total = static_cast<uint64_t>(g_opt.mib) << 20;
  constexpr size_t kPeriod = 65521;  // pattern period (prime, unrelated to chunk sizes)
  constexpr size_t kReadBuf = 65536;
  std::vector<char> pat(kPeriod + kReadBuf), expect(kPeriod + kReadBuf);
  Rng rng(g_opt.seed);
  fill_alnum(pat.data(), kPeriod, rng);
  for (size_t i = kPeriod; i < pat.size(); ++i)
    pat[i] = pat[i - kPeriod];  // pat[i] == pat[i % kPeriod]
  expected_echo(pat.data(), expect.data(), pat.size());

  int fd = connect_blocking();
  if (fd < 0) die("connect: %s", strerror(errno));
  if (!read_greeting(fd, "stream")) {
    close(fd);
    printf("RESULT mode=stream label=%s size=%zu mib=%ld bytes=0 secs=0 mbps=0 errors=%ld\n",
           g_opt.label.c_str(), S, g_opt.mib, g_errors.load());
    return 1;
  }
  double cpu0 = cpu_secs(), scpu0 = server_cpu_secs();
  uint64_t t0 = now_ns();
  uint64_t deadline = t0 + static_cast<uint64_t>(g_opt.max_secs * 1e9);
  std::atomic<uint64_t> sent{0};
  std::atomic<bool> stop{false};

  std::thread writer([&] {
    uint64_t off = 0;
    while (off < total && !stop.load(std::memory_order_relaxed)) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(S, total - off));
      IoResult r = write_all(fd, pat.data() + off % kPeriod, n);
      if (r != IO_OK) {
        if (!stop.load())
          error("stream: write at %llu: %s", static_cast<unsigned long long>(off), io_name(r));
        break;
      }
      off += n;
      if ((off & ((1u << 20) - 1)) < n && now_ns() > deadline) break;
    }
    sent.store(off);
  });

  std::vector<char> rbuf(kReadBuf);
  uint64_t got = 0;
  bool ok = true;
  while (got < total) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBuf, total - got));
    ssize_t n = read(fd, rbuf.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      IoResult r =
          n == 0 ? IO_EOF : ((errno == EAGAIN || errno == EWOULDBLOCK) ? IO_TIMEOUT : IO_ERR);
      error("stream: read at %llu: %s", static_cast<unsigned long long>(got), io_name(r));
      ok = false;
      break;
    }
    if (memcmp(rbuf.data(), expect.data() + got % kPeriod, static_cast<size_t>(n)) != 0) {
      error("stream: echo differs from the expected bytes near offset %llu",
            static_cast<unsigned long long>(got));
      ok = false;
      break;
    }
    got += static_cast<uint64_t>(n);
    if (sent.load(std::memory_order_relaxed) && got >= sent.load()) break;  // writer stopped early
  }
  uint64_t t1 = now_ns();
  stop.store(true);
  if (!ok) shutdown(fd, SHUT_RDWR);  // unblock the writer
  writer.join();
  double cpu = cpu_secs() - cpu0, scpu1 = server_cpu_secs();
  if (ok && got < total)
    (void)fprintf(stderr, "loadgen: note: stopped at the %.0f s bound\n", g_opt.max_secs);
  if (ok) end_session(fd, "stream");
  close(fd);
  double secs = static_cast<double>(t1 - t0) / 1e9;
  printf(
      "RESULT mode=stream label=%s size=%zu mib=%ld nodelay=%d bytes=%llu secs=%.4f mbps=%.2f "
      "errors=%ld "
      "term_echoed=%ld client_cpu_pct=%.1f %s\n",
      g_opt.label.c_str(), S, g_opt.mib, g_opt.nodelay, static_cast<unsigned long long>(got), secs,
      static_cast<double>(got) / secs / 1e6, g_errors.load(), g_term_echoed.load(),
      100.0 * cpu / secs, server_cpu_field(scpu0, scpu1, secs).c_str());
  return g_errors.load() ? 1 : 0;
}

// ------------------------------------------------------------------ sessions

int run_sessions() {
  const int C = g_opt.conns;
  const long N = g_opt.sessions;
  static const char kLine[7] = {'h', 'e', 'l', 'l', 'o', '\r', '\n'};
  char want[sizeof kLine];
  expected_echo(kLine, want, sizeof kLine);

  std::vector<std::vector<uint32_t>> lat(static_cast<size_t>(C));
  std::latch start(C + 1);
  std::atomic<long> ok_count{0};
  uint64_t deadline_ns = 0;

  auto worker = [&](int idx) {
    char who[48];
    std::vector<uint32_t>& l = lat[static_cast<size_t>(idx)];
    l.reserve(static_cast<size_t>(N));
    start.arrive_and_wait();
    for (long s = 0; s < N; ++s) {
      uint64_t t0 = now_ns();
      if (t0 > deadline_ns) break;
      (void)snprintf(who, sizeof who, "worker %d session %ld", idx, s);  // fits
      int fd = connect_blocking();
      if (fd < 0) {
        error("%s: connect: %s", who, strerror(errno));
        usleep(1000);
        continue;
      }
      bool ok = read_greeting(fd, who);
      if (ok) {
        char got[sizeof kLine];
        IoResult r = write_all(fd, kLine, sizeof kLine);
        if (r == IO_OK) r = read_exact(fd, got, sizeof got);
        if (r != IO_OK) {
          error("%s: echo: %s", who, io_name(r));
          ok = false;
        } else if (memcmp(got, want, sizeof got) != 0) {
          error("%s: echo differs from the expected bytes", who);
          ok = false;
        }
      }
      if (ok) ok = end_session(fd, who);
      close(fd);
      if (ok) {
        ok_count.fetch_add(1, std::memory_order_relaxed);
        l.push_back(clamp_ns(now_ns() - t0));
      }
    }
  };

  std::vector<std::thread> th;
  th.reserve(static_cast<size_t>(C));
  for (int i = 0; i < C; ++i) th.emplace_back(worker, i);
  double cpu0 = cpu_secs(), scpu0 = server_cpu_secs();
  uint64_t t0 = now_ns();
  deadline_ns = t0 + static_cast<uint64_t>(g_opt.max_secs * 1e9);
  start.arrive_and_wait();
  for (auto& t : th) t.join();
  uint64_t t1 = now_ns();
  double cpu = cpu_secs() - cpu0, scpu1 = server_cpu_secs();
  double secs = static_cast<double>(t1 - t0) / 1e9;
  std::vector<uint32_t> all;
  for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
  long ok = ok_count.load();
  if (ok + g_errors.load() < static_cast<long>(C) * N)
    (void)fprintf(stderr, "loadgen: note: stopped at the %.0f s bound\n", g_opt.max_secs);
  double p50 = pct_us(all, 0.5), p99 = pct_us(all, 0.99);
  printf(
      "RESULT mode=sessions label=%s conns=%d per_worker=%ld sessions=%ld secs=%.4f sps=%.1f "
      "p50_us=%.1f p99_us=%.1f errors=%ld connect_errors=%ld term_echoed=%ld client_cpu_pct=%.1f "
      "%s\n",
      g_opt.label.c_str(), C, N, ok, secs, static_cast<double>(ok) / secs, p50, p99,
      g_errors.load(), g_connect_errors.load(), g_term_echoed.load(), 100.0 * cpu / secs,
      server_cpu_field(scpu0, scpu1, secs).c_str());
  return g_errors.load() ? 1 : 0;
}

// ---------------------------------------------------------------------- hold

struct ProcMem {
  long rss_kib = -1, hwm_kib = -1, threads = -1;
};

// Sets out to the number after `key` when line is that key's, as in
// "VmRSS:    1234 kB"; leaves it alone otherwise.
void take_field(const char* line, const char* key, long& out) {
  size_t k = strlen(key);
  if (strncmp(line, key, k) != 0) return;
  char* end = nullptr;
  errno = 0;
  long v = strtol(line + k, &end, 10);
  if (errno == 0 && end != line + k) out = v;
}

ProcMem read_proc_mem(int pid) {
  ProcMem m;
  if (pid <= 0) return m;
  char path[64];
  (void)snprintf(path, sizeof path, "/proc/%d/status", pid);  // fits
  FILE* f = fopen(path, "r");
  if (!f) return m;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    take_field(line, "VmRSS:", m.rss_kib);
    take_field(line, "VmHWM:", m.hwm_kib);
    take_field(line, "Threads:", m.threads);
  }
  (void)fclose(f);  // read-only
  return m;
}

enum HoldState : uint8_t { H_CONNECTING, H_GREET, H_ECHO, H_IDLE, H_CLOSING, H_DONE, H_FAILED };

struct HoldConn {
  int fd = -1;
  HoldState st = H_CONNECTING;
  uint8_t got = 0;
};

int run_hold() {
  const int C = g_opt.conns;
  static const char kLine[7] = {'h', 'e', 'l', 'l', 'o', '\r', '\n'};
  char want[sizeof kLine];
  expected_echo(kLine, want, sizeof kLine);
  if (C + 16 > nofile_limit())
    die("--conns %d needs more descriptors than the limit %ld", C, nofile_limit());

  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) die("epoll_create1: %s", strerror(errno));
  std::vector<HoldConn> cs(static_cast<size_t>(C));
  long connect_err = 0, greet_err = 0, echo_err = 0, idle_err = 0, close_err = 0;
  int opened = 0, setting_up = 0, established = 0, failed = 0, closed_ok = 0, closing = 0;

  auto fail = [&](int i, long& counter, const char* what) {
    HoldConn& c = cs[static_cast<size_t>(i)];
    if (c.st == H_CONNECTING || c.st == H_GREET || c.st == H_ECHO) --setting_up;
    if (c.st == H_IDLE) --established;
    if (c.st == H_CLOSING) --closing;
    ++counter;
    ++failed;
    error("conn %d: %s", i, what);
    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    c.st = H_FAILED;
  };
  auto watch = [&](int i, uint32_t events, int op) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(ep, op, cs[static_cast<size_t>(i)].fd, &ev) != 0)
      die("epoll_ctl: %s", strerror(errno));
  };
  auto open_one = [&]() {
    int i = opened++;
    HoldConn& c = cs[static_cast<size_t>(i)];
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ++setting_up;
    if (c.fd < 0) {
      ++connect_err;
      ++failed;
      --setting_up;
      c.st = H_FAILED;
      error("conn %d: socket: %s", i, strerror(errno));
      return;
    }
    set_nodelay(c.fd);
    bind_source(c.fd);
    int r = connect(c.fd, reinterpret_cast<const sockaddr*>(&g_addr), sizeof g_addr);
    if (r == 0) {
      c.st = H_GREET;
      watch(i, EPOLLIN, EPOLL_CTL_ADD);
    } else if (errno == EINPROGRESS) {
      c.st = H_CONNECTING;
      watch(i, EPOLLOUT, EPOLL_CTL_ADD);
    } else {
      char msg[96];
      (void)snprintf(msg, sizeof msg, "connect: %s", strerror(errno));  // a cut message will do
      fail(i, connect_err, msg);
    }
  };
  auto on_event = [&](int i, uint32_t events) {
    HoldConn& c = cs[static_cast<size_t>(i)];
    char buf[64];
    switch (c.st) {
      case H_CONNECTING: {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err) {
          char msg[96];
          (void)snprintf(msg, sizeof msg, "connect: %s", strerror(err));  // a cut message will do
          fail(i, connect_err, msg);
          return;
        }
        c.st = H_GREET;
        watch(i, EPOLLIN, EPOLL_CTL_MOD);
        return;
      }
      case H_GREET:
      case H_ECHO: {
        const char* exp = c.st == H_GREET ? kGreeting : want;
        size_t len = c.st == H_GREET ? sizeof kGreeting : sizeof kLine;
        long& counter = c.st == H_GREET ? greet_err : echo_err;
        ssize_t n = read(c.fd, buf, len - c.got);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
          fail(i, counter, n == 0 ? "closed by the server" : strerror(errno));
          return;
        }
        if (memcmp(buf, exp + c.got, static_cast<size_t>(n)) != 0) {
          fail(i, counter,
               c.st == H_GREET ? "wrong greeting bytes" : "echo differs from the expected bytes");
          return;
        }
        c.got = static_cast<uint8_t>(c.got + n);
        if (c.got < len) return;
        c.got = 0;
        if (c.st == H_GREET) {
          if (write(c.fd, kLine, sizeof kLine) != static_cast<ssize_t>(sizeof kLine)) {
            fail(i, echo_err, "sending the echo line failed");
            return;
          }
          c.st = H_ECHO;
        } else {
          c.st = H_IDLE;
          --setting_up;
          ++established;
        }
        return;
      }
      case H_IDLE: {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        fail(i, idle_err,
             n == 0 ? "closed by the server while idle" : "unexpected bytes while idle");
        return;
      }
      case H_CLOSING: {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n < 0 && !(errno == ECONNRESET && c.got == 0)) {
          fail(i, close_err, strerror(errno));
          return;
        }
        if (n > 0) {
          // A lenient run accepts the terminator echoed back before the close.
          if (g_opt.lenient && c.got + n <= static_cast<ssize_t>(sizeof kTerm) &&
              memcmp(buf, kTerm + c.got, static_cast<size_t>(n)) == 0) {
            c.got = static_cast<uint8_t>(c.got + n);
            return;
          }
          fail(i, close_err, "unexpected bytes after the terminator");
          return;
        }
        if (c.got != 0) g_term_echoed.fetch_add(1);
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
        c.st = H_DONE;
        --closing;
        ++closed_ok;
        return;
      }
      default:
        (void)events;
        return;
    }
  };
  std::vector<epoll_event> evs(1024);
  auto pump = [&](int timeout_ms) {
    int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), timeout_ms);
    for (int k = 0; k < n; ++k)
      on_event(static_cast<int>(evs[static_cast<size_t>(k)].data.u32),
               evs[static_cast<size_t>(k)].events);
  };

  ProcMem m0 = read_proc_mem(g_opt.pid);
  uint64_t t0 = now_ns();
  uint64_t deadline = t0 + static_cast<uint64_t>(g_opt.max_secs * 1e9);
  while (established + failed < C && now_ns() < deadline) {
    while (opened < C && setting_up < g_opt.inflight) open_one();
    pump(50);
  }
  uint64_t t_est = now_ns();
  for (int i = 0; i < C; ++i) {
    HoldState st = cs[static_cast<size_t>(i)].st;
    if (st == H_CONNECTING || st == H_GREET || st == H_ECHO)
      fail(i, connect_err, "not established before the time bound");
  }
  for (int i = opened; i < C; ++i) ++connect_err, ++failed;
  ProcMem m1 = read_proc_mem(g_opt.pid);

  uint64_t hold_end = now_ns() + static_cast<uint64_t>(g_opt.hold_secs * 1e9);
  while (now_ns() < hold_end)
    pump(std::max<int>(1, static_cast<int>((hold_end - now_ns()) / 1000000)));
  ProcMem m2 = read_proc_mem(g_opt.pid);
  int held = established;

  uint64_t t_c0 = now_ns();
  for (int i = 0; i < C; ++i) {
    HoldConn& c = cs[static_cast<size_t>(i)];
    if (c.st != H_IDLE) continue;
    if (write(c.fd, kTerm, sizeof kTerm) != static_cast<ssize_t>(sizeof kTerm)) {
      fail(i, close_err, "sending the terminator failed");
      continue;
    }
    if (g_opt.lenient) shutdown(c.fd, SHUT_WR);
    c.st = H_CLOSING;
    c.got = 0;
    --established;
    ++closing;
  }
  uint64_t close_deadline = now_ns() + static_cast<uint64_t>(g_opt.timeout_ms) * 1000000ull;
  while (closing > 0 && now_ns() < close_deadline) pump(50);
  uint64_t t_c1 = now_ns();
  for (int i = 0; i < C; ++i)
    if (cs[static_cast<size_t>(i)].st == H_CLOSING)
      fail(i, close_err, "no close after the terminator");
  close(ep);

  printf(
      "RESULT mode=hold label=%s conns=%d established=%d establish_secs=%.3f closed=%d "
      "close_secs=%.3f "
      "connect_errors=%ld greet_err=%ld echo_err=%ld idle_err=%ld close_err=%ld errors=%ld "
      "term_echoed=%ld "
      "server_pid=%d server_rss_before_kib=%ld server_rss_held_kib=%ld server_threads_held=%ld "
      "server_hwm_kib=%ld hold_secs=%.1f\n",
      g_opt.label.c_str(), C, held, static_cast<double>(t_est - t0) / 1e9, closed_ok,
      static_cast<double>(t_c1 - t_c0) / 1e9, connect_err, greet_err, echo_err, idle_err, close_err,
      g_errors.load(), g_term_echoed.load(), g_opt.pid, m0.rss_kib,
      std::max(m1.rss_kib, m2.rss_kib), std::max(m1.threads, m2.threads), m2.hwm_kib,
      g_opt.hold_secs);
  return g_errors.load() ? 1 : 0;
}

// ------------------------------------------------------------------- conform

// Each check runs on its own connection; `why` says what went wrong.
using CheckFn = bool (*)(std::string& why);

int open_greeted(std::string& why) {
  int fd = connect_blocking();
  if (fd < 0) {
    why = std::string("connect: ") + strerror(errno);
    return -1;
  }
  char g[sizeof kGreeting];
  IoResult r = read_exact(fd, g, sizeof g);
  if (r != IO_OK || memcmp(g, kGreeting, sizeof g) != 0) {
    why = r != IO_OK ? std::string("greeting: ") + io_name(r) : "greeting bytes differ";
    close(fd);
    return -1;
  }
  return fd;
}

// One write of `in`; the echo must be exactly the expected bytes.
bool echo_once(int fd, const std::string& in, std::string& why) {
  std::string want(in.size(), '\0'), got(in.size(), '\0');
  expected_echo(in.data(), want.data(), in.size());
  IoResult r = write_all(fd, in.data(), in.size());
  if (r == IO_OK) r = read_exact(fd, got.data(), got.size());
  if (r != IO_OK) {
    why = "echo of " + std::to_string(in.size()) + " bytes: " + io_name(r);
    return false;
  }
  if (got != want) {
    size_t at = 0;
    while (got[at] == want[at]) ++at;
    char b[128];
    (void)snprintf(b, sizeof b, "echo of %zu bytes differs at byte %zu: got 0x%02x, want 0x%02x",
                   in.size(), at, static_cast<unsigned char>(got[at]),
                   static_cast<unsigned char>(want[at]));  // fits
    why = b;
    return false;
  }
  return true;
}

// Nothing more arrives, and the server closes, within the timeout.
bool expect_close(int fd, const char* after, std::string& why) {
  char b[256];
  ssize_t n;
  do n = read(fd, b, sizeof b);
  while (n < 0 && errno == EINTR);
  if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  if (n > 0)
    why = std::to_string(n) + " byte(s) sent after " + after;
  else if (errno == EAGAIN || errno == EWOULDBLOCK)
    why = std::string("not closed after ") + after;
  else
    why = std::string("after ") + after + ": " + strerror(errno);
  return false;
}

bool end_with_terminator(int fd, std::string& why) {
  bool ok = write_all(fd, kTerm, sizeof kTerm) == IO_OK && expect_close(fd, "the terminator", why);
  close(fd);
  return ok;
}

bool check_greeting_only(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  pollfd pf{fd, POLLIN, 0};
  if (poll(&pf, 1, 100) > 0) {
    why = "bytes after the greeting before the client wrote anything";
    close(fd);
    return false;
  }
  return end_with_terminator(fd, why);
}

bool check_all_byte_values(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  std::string up(256, '\0'), down(256, '\0');
  for (int i = 0; i < 256; ++i)
    up[static_cast<size_t>(i)] = static_cast<char>(i),
    down[static_cast<size_t>(i)] = static_cast<char>(255 - i);
  bool ok = echo_once(fd, up, why) && echo_once(fd, down, why);
  if (!ok) {
    close(fd);
    return false;
  }
  return end_with_terminator(fd, why);
}

bool check_chunk_sizes(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  Rng rng(g_opt.seed + 7);
  for (size_t n : {1, 2, 3, 4, 7, 511, 1023, 1024}) {
    std::string in(n, '\0');
    fill_alnum(in.data(), n, rng);
    if (!echo_once(fd, in, why)) {
      close(fd);
      return false;
    }
  }
  return end_with_terminator(fd, why);
}

bool check_long_write(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  std::string in(5000, '\0');
  Rng rng(g_opt.seed + 11);
  fill_alnum(in.data(), in.size(), rng);
  if (!echo_once(fd, in, why)) {
    close(fd);
    return false;
  }
  return end_with_terminator(fd, why);
}

bool check_near_terminators(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  const std::string near[] = {std::string(".\r\nx"), std::string(".\r"),
                              std::string("\n"),     std::string(".\n"),
                              std::string(" .\r\n"), std::string(".\r\n.\r\n"),
                              std::string("..\r\n"), std::string(".\r\n\n")};
  for (const std::string& in : near)
    if (!echo_once(fd, in, why)) {
      why += " (a chunk that is not the terminator)";
      close(fd);
      return false;
    }
  return end_with_terminator(fd, why);
}

bool check_terminator_with_zero(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  static const char term0[] = {'.', '\r', '\n', '\0', 'j', 'u', 'n', 'k'};
  bool ok = echo_once(fd, "abc", why) && write_all(fd, term0, sizeof term0) == IO_OK &&
            expect_close(fd, "the terminator followed by a zero byte", why);
  close(fd);
  return ok;
}

bool check_eof_closes(std::string& why) {
  int fd = open_greeted(why);
  if (fd < 0) return false;
  bool ok = echo_once(fd, "abc", why);
  if (ok) {
    shutdown(fd, SHUT_WR);
    ok = expect_close(fd, "the client's EOF", why);
  }
  close(fd);
  return ok;
}

int run_conform() {
  struct {
    const char* name;
    CheckFn fn;
  } const checks[] = {
      {"greeting is the 9 bytes and nothing else", check_greeting_only},
      {"every byte value echoes, only a-z changed", check_all_byte_values},
      {"chunks of 1..1024 bytes echo exactly", check_chunk_sizes},
      {"a 5000-byte write echoes joined and in order", check_long_write},
      {"chunks that only look like the terminator are echoed", check_near_terminators},
      {"terminator then zero byte then junk ends the session silently", check_terminator_with_zero},
      {"EOF without terminator closes the connection", check_eof_closes},
  };
  int passed = 0, failed = 0;
  for (const auto& c : checks) {
    std::string why;
    if (c.fn(why)) {
      ++passed;
      printf("ok - %s\n", c.name);
    } else {
      ++failed;
      printf("not ok - %s: %s\n", c.name, why.c_str());
    }
  }
  printf("RESULT mode=conform label=%s checks=%d passed=%d failed=%d\n", g_opt.label.c_str(),
         passed + failed, passed, failed);
  printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}

// ------------------------------------------------------------ server spawning

// True once 127.0.0.1:port (or 0.0.0.0:port) is in LISTEN state.
bool port_listening(int port) {
  FILE* f = fopen("/proc/net/tcp", "r");
  if (!f) return false;
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    // "  sl: LOCAL_ADDR:PORT REM_ADDR:PORT ST ...", all but sl in hex; the
    // header line fails the first number.
    const char* s = line;
    unsigned long long sl = 0, addr = 0, p = 0, raddr = 0, rp = 0, st = 0;
    if (take_num(s, 10, ':', sl) && take_num(s, 16, ':', addr) && take_num(s, 16, ' ', p) &&
        take_num(s, 16, ':', raddr) && take_num(s, 16, ' ', rp) && take_num(s, 16, ' ', st))
      found = p == static_cast<unsigned long long>(port) && st == 0x0A &&
              (addr == 0x0100007F || addr == 0);
  }
  (void)fclose(f);  // read-only
  return found;
}

void forward_output(int fd) {
  std::thread([fd] {
    char b[4096];
    for (;;) {
      ssize_t n = read(fd, b, sizeof b);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      (void)!write(2, b, static_cast<size_t>(n));
    }
    close(fd);
  }).detach();
}

// Start `sh -c "exec CMD"` in its own process group with stdout and stderr
// piped to us; learn its port from "listening on 127.0.0.1:PORT", or, when
// --port was given, wait until that port listens.
void spawn_server() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) < 0) die("pipe: %s", strerror(errno));
  std::string cmd = "exec " + g_opt.spawn;
  pid_t parent = getpid();
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // orphans of fork-per-connection hosts come back to us
  pid_t pid = fork();
  if (pid < 0) die("fork: %s", strerror(errno));
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(p[1], 1);
    dup2(p[1], 2);
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  g_child = pid;
  close(p[1]);
  uint64_t deadline = now_ns() + 10ull * 1000000000ull;
  if (g_opt.port != 0) {
    while (!port_listening(g_opt.port)) {
      if (now_ns() > deadline || waitpid(pid, nullptr, WNOHANG) == pid)
        die("server did not listen on port %d", g_opt.port);
      usleep(5000);
    }
    forward_output(p[0]);
  } else {
    std::string acc;
    int port = 0;
    while (port == 0) {
      int left = static_cast<int>((deadline - std::min(deadline, now_ns())) / 1000000);
      pollfd pf{p[0], POLLIN, 0};
      if (left == 0 || poll(&pf, 1, left) <= 0)
        die("server printed no 'listening on 127.0.0.1:PORT' line");
      char b[512];
      ssize_t n = read(p[0], b, sizeof b);
      if (n <= 0) die("server exited before listening");
      acc.append(b, static_cast<size_t>(n));
      size_t at = acc.find("listening on 127.0.0.1:");
      if (at != std::string::npos && acc.find('\n', at) != std::string::npos) {
        const char* digits = acc.c_str() + at + strlen("listening on 127.0.0.1:");
        char* end = nullptr;
        errno = 0;
        long v = strtol(digits, &end, 10);
        if (errno != 0 || end == digits || v < 1 || v > 65535)
          die("server printed no port after 'listening on 127.0.0.1:'");
        port = static_cast<int>(v);
      }
    }
    g_opt.port = port;
    forward_output(p[0]);
  }
  if (g_opt.pid == 0) g_opt.pid = pid;
}

// Stop the spawned server's whole process group and reap everything that
// was in it (as subreaper we also inherit its orphaned per-connection children).
void stop_server() {
  if (g_child <= 0) return;
  pid_t leader = g_child;
  g_child = -1;
  kill(-leader, SIGTERM);
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    gone = waitpid(leader, nullptr, WNOHANG) == leader;
    if (!gone) usleep(10000);
  }
  kill(-leader, SIGKILL);
  if (!gone) waitpid(leader, nullptr, 0);
  for (int i = 0; i < 300; ++i) {
    pid_t r = waitpid(-1, nullptr, WNOHANG);
    if (r < 0) break;  // no children left
    if (r == 0) usleep(10000);
  }
}

// ---------------------------------------------------------------------- main

[[noreturn]] void usage(int code) {
  (void)fprintf(
      code ? stderr : stdout,
      "usage: loadgen MODE [options]\n"
      "modes:\n"
      "  pingpong  C connections, each K round trips of an S-byte chunk (-c -k -s)\n"
      "  stream    one connection sends M MiB in S-byte chunks while reading the echo (--mib -s)\n"
      "  sessions  C workers, N whole sessions each: greeting, one echo, terminator, close (-c "
      "-n)\n"
      "  hold      open C sessions, greet and echo each once, keep them, close all (-c --hold-secs "
      "--pid)\n"
      "  conform   protocol checks, one connection each (greeting, bytes, sizes, terminator, EOF)\n"
      "  freeport  print a free TCP port on 127.0.0.1 and exit\n"
      "options:\n"
      "  --port P          server port on 127.0.0.1 (required unless --spawn prints it)\n"
      "  --host A          server address, must be in 127.0.0.0/8 (default 127.0.0.1)\n"
      "  --spawn CMD       start CMD (via sh) first; it must print 'listening on 127.0.0.1:PORT' "
      "to\n"
      "                    stderr, or listen on --port; it is stopped (its process group) at the "
      "end\n"
      "  -c, --conns C     connections / workers (default 1)\n"
      "  -k, --rounds K    round trips per connection (default 10000)\n"
      "  -s, --size S      chunk size, 1..1024 (default 1024)\n"
      "  --mib M           stream volume in MiB (default 64)\n"
      "  -n, --sessions N  sessions per worker (default 100)\n"
      "  --hold-secs T     hold: seconds to keep the sessions open (default 0)\n"
      "  --pid PID         server pid, for its CPU share and (hold) RSS from /proc\n"
      "                    (default: the spawned one)\n"
      "  --inflight N      hold: connections being set up at once (default 512)\n"
      "  --expect same     the server echoes unchanged (baseline servers); default: upper\n"
      "  --term lenient    peer may echo the terminator and close on EOF: half-close after it\n"
      "  --nodelay 0|1     TCP_NODELAY on client sockets (default 1, but 0 in stream mode: a\n"
      "                    stream of 1 KiB segments can drive the server's receive queue into\n"
      "                    pruning, and the figures then swing by 2x from run to run)\n"
      "  --timeout-ms T    per-read/write timeout (default 5000)\n"
      "  --max-secs T      bound on the whole measurement (default 60)\n"
      "  --cpu N           pin the load generator (and a spawned server) to CPU N\n"
      "  --sources N       bind client sockets to 127.0.0.2 .. 127.0.0.(N+1) in turn, so\n"
      "                    TIME_WAIT cannot use up one address's ports (default 64; 0: no bind)\n"
      "  --label NAME      copied into the RESULT line\n"
      "  --seed N          payload seed (default 1)\n");
  exit(code);
}

long parse_num(const char* s, const char* what, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || !*s || *end || v < lo || v > hi)
    die("bad %s '%s' (expected %ld..%ld)", what, s, lo, hi);
  return v;
}

double parse_real(const char* s, const char* what) {
  char* end = nullptr;
  double v = strtod(s, &end);
  if (!*s || *end || !(v >= 0) || v > 86400) die("bad %s '%s'", what, s);
  return v;
}

void parse(int argc, char** argv) {
  if (argc < 2) usage(2);
  g_opt.mode = argv[1];
  if (g_opt.mode == "--help" || g_opt.mode == "-h") usage(0);
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") usage(0);
    if (i + 1 >= argc) die("option %s needs a value (see --help)", a.c_str());
    const char* v = argv[++i];
    if (a == "--port")
      g_opt.port = static_cast<int>(parse_num(v, "port", 1, 65535));
    else if (a == "--host")
      g_opt.host = v;
    else if (a == "--spawn")
      g_opt.spawn = v;
    else if (a == "-c" || a == "--conns")
      g_opt.conns = static_cast<int>(parse_num(v, "conns", 1, 100000));
    else if (a == "-k" || a == "--rounds")
      g_opt.rounds = parse_num(v, "rounds", 1, 1000000000);
    else if (a == "-s" || a == "--size")
      g_opt.size = static_cast<int>(parse_num(v, "size", 1, 1024));
    else if (a == "--mib")
      g_opt.mib = parse_num(v, "mib", 1, 1 << 20);
    else if (a == "-n" || a == "--sessions")
      g_opt.sessions = parse_num(v, "sessions", 1, 100000000);
    else if (a == "--hold-secs")
      g_opt.hold_secs = parse_real(v, "hold-secs");
    else if (a == "--pid")
      g_opt.pid = static_cast<int>(parse_num(v, "pid", 1, INT_MAX));
    else if (a == "--inflight")
      g_opt.inflight = static_cast<int>(parse_num(v, "inflight", 1, 100000));
    else if (a == "--timeout-ms")
      g_opt.timeout_ms = static_cast<int>(parse_num(v, "timeout-ms", 1, 600000));
    else if (a == "--max-secs")
      g_opt.max_secs = parse_real(v, "max-secs");
    else if (a == "--label")
      g_opt.label = v;
    else if (a == "--cpu")
      g_opt.cpu = static_cast<int>(parse_num(v, "cpu", 0, CPU_SETSIZE - 1));
    else if (a == "--seed")
      g_opt.seed = static_cast<uint64_t>(parse_num(v, "seed", 0, LONG_MAX));
    else if (a == "--sources")
      g_opt.sources = static_cast<int>(parse_num(v, "sources", 0, 253));
    else if (a == "--nodelay")
      g_opt.nodelay = static_cast<int>(parse_num(v, "nodelay", 0, 1));
    else if (a == "--expect") {
      if (!strcmp(v, "same"))
        g_opt.expect_upper = false;
      else if (!strcmp(v, "upper"))
        g_opt.expect_upper = true;
      else
        die("bad --expect '%s' (upper or same)", v);
    } else if (a == "--term") {
      if (!strcmp(v, "lenient"))
        g_opt.lenient = true;
      else if (!strcmp(v, "strict"))
        g_opt.lenient = false;
      else
        die("bad --term '%s' (strict or lenient)", v);
    } else
      die("unknown option %s (see --help)", a.c_str());
  }
  if (g_opt.label.find_first_of(" \t\n=") != std::string::npos) die("--label must be one word");
  if (g_opt.nodelay < 0) g_opt.nodelay = g_opt.mode == "stream" ? 0 : 1;
  in_addr a{};
  if (inet_pton(AF_INET, g_opt.host.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127)
    die("--host must be an IPv4 loopback address (127.0.0.0/8)");
  g_addr.sin_family = AF_INET;
  g_addr.sin_addr = a;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0)
    die("cannot find a free port: %s", strerror(errno));
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace

// Interrupted runs (Ctrl-C, timeout(1)) still take their server down.
void on_stop_signal(int sig) {
  stop_server();
  _exit(128 + sig);
}

int main(int argc, char** argv) {
  parse(argc, argv);
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR || signal(SIGTERM, on_stop_signal) == SIG_ERR ||
      signal(SIGINT, on_stop_signal) == SIG_ERR)
    die("signal: %s", strerror(errno));
  raise_nofile();
  if (g_opt.mode == "freeport") {
    printf("%d\n", free_port());
    return 0;
  }
  if (g_opt.mode != "pingpong" && g_opt.mode != "stream" && g_opt.mode != "sessions" &&
      g_opt.mode != "hold" && g_opt.mode != "conform")
    die("unknown mode '%s' (see --help)", g_opt.mode.c_str());
  if (g_opt.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(g_opt.cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
      die("cannot pin to CPU %d: %s", g_opt.cpu, strerror(errno));
  }
  if (!g_opt.spawn.empty()) spawn_server();
  if (g_opt.port == 0) die("--port or --spawn is required");
  g_addr.sin_port = htons(static_cast<uint16_t>(g_opt.port));
  if (fflush(stdout) != 0) die("fflush(stdout): %s", strerror(errno));
  int rc = 0;
  if (g_opt.mode == "pingpong")
    rc = run_pingpong();
  else if (g_opt.mode == "stream")
    rc = run_stream();
  else if (g_opt.mode == "sessions")
    rc = run_sessions();
  else if (g_opt.mode == "conform")
    rc = run_conform();
  else
    rc = run_hold();
  if (fflush(stdout) != 0) die("writing the RESULT line: fflush(stdout): %s", strerror(errno));
  stop_server();
  return rc;
}
