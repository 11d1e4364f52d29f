#include "process_stats.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "unique_fd.h"

namespace capecho {
namespace {

// The whole of a small /proc file, NUL-terminated; false if it cannot be read
// or does not fit.
bool read_small_file(const char* path, char* buf, size_t size) {
  const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(fd.get(), buf + got, size - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got == size - 1) return false;
  }
  buf[got] = '\0';
  return true;
}

double seconds_of(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return -1;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// From /proc/self/stat: utime and stime (fields 14 and 15) and starttime
// (field 22), in clock ticks; the last two since boot. The command name
// (field 2) may hold spaces and parentheses, so fields count from its last ')'.
void read_stat(process_stats& p) {
  char buf[1024];
  if (!read_small_file("/proc/self/stat", buf, sizeof buf)) return;
  const char* at = strrchr(buf, ')');
  const long ticks = sysconf(_SC_CLK_TCK);
  if (at == nullptr || ticks <= 0) return;
  unsigned long long fields[22] = {};  // fields[n] is field n; from field 3
  const char* cursor = at + 1;
  for (int n = 3; n <= 22; ++n) {
    while (*cursor == ' ') ++cursor;
    if (n == 3) {  // the state, a letter
      ++cursor;
      continue;
    }
    char* end = nullptr;
    fields[n - 1] = strtoull(cursor, &end, 10);
    if (end == cursor) return;
    cursor = end;
  }
  const auto hz = static_cast<double>(ticks);
  p.cpu_seconds = static_cast<double>(fields[13] + fields[14]) / hz;
  // Since boot, counting suspend, as CLOCK_BOOTTIME does.
  const double now = seconds_of(CLOCK_REALTIME), up = seconds_of(CLOCK_BOOTTIME);
  if (now >= 0 && up >= 0) p.start_time_seconds = now - up + static_cast<double>(fields[21]) / hz;
}

// From /proc/self/statm: the second field, in pages.
void read_statm(process_stats& p) {
  char buf[256];
  if (!read_small_file("/proc/self/statm", buf, sizeof buf)) return;
  char* end = nullptr;
  (void)strtoull(buf, &end, 10);
  const char* second = end;
  const unsigned long long pages = strtoull(second, &end, 10);
  const long page = sysconf(_SC_PAGESIZE);
  if (end != second && page > 0) p.resident_bytes = static_cast<double>(pages * page);
}

// Entries of /proc/self/fd, by getdents64 into a stack buffer: opendir
// would allocate one.
void count_descriptors(process_stats& p) {
  const unique_fd dir(open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return;
  alignas(8) char buf[4096];
  long entries = 0;
  for (;;) {
    const long n = syscall(SYS_getdents64, dir.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    if (n == 0) break;
    for (long at = 0; at < n;) {
      unsigned short length = 0;
      memcpy(&length, buf + at + offsetof(dirent64, d_reclen), sizeof length);
      if (buf[at + static_cast<long>(offsetof(dirent64, d_name))] != '.') ++entries;
      at += length;
    }
  }
  p.open_fds = static_cast<double>(entries - 1);  // less the one reading the directory
}

}  // namespace

process_stats read_process_stats() {
  process_stats p;
  read_stat(p);
  read_statm(p);
  count_descriptors(p);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    p.max_fds = limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<double>(limit.rlim_cur);
  return p;
}

}  // namespace capecho
