#include "log.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

namespace capecho {
namespace {

// The words of an event, and its whole line: a JSON line carries the words
// escaped and the fields besides.
constexpr size_t message_capacity = 512;
constexpr size_t line_capacity = 1024;
// Lines wait in a ring of bytes, each behind its length. A session line is 60
// to 200 bytes, so the ring holds about a second of -v lines at 20,000
// sessions a second: enough for the writer to wait for a CPU, or for a disk
// or the journal to pause, without losing a line. It is allocated with the
// program, and its pages are touched only as lines fill them.
constexpr size_t ring_bytes = size_t{2} << 20;
using line_length = uint16_t;
static_assert(line_capacity <= UINT16_MAX);
constexpr size_t batch_capacity = 4096;  // one pipe buffer: a write of it is atomic
// How often a writer waiting for standard error looks whether it should give up.
constexpr int give_up_check_ms = 100;

std::atomic<verbosity> current_level{verbosity::normal};
std::atomic<bool> to_journal{false};
std::atomic<log_format> current_format{log_format::text};

// The whole line of one event in `line`; returns its length.
size_t format_line(char* line, size_t capacity, log_level level, const char* event,
                   log_fields fields, const char* message) {
  line_context c;
  c.format = current_format.load(std::memory_order_relaxed);
  c.journal = to_journal.load(std::memory_order_relaxed);
  c.priority = level == log_level::error ? 3 : level == log_level::note ? 5 : 6;
  if (!c.journal || c.format != log_format::text) (void)clock_gettime(CLOCK_REALTIME, &c.now);
  return format_event(line, capacity, c, event, fields, message);
}

enum class writer_state { none, running, stopped, abandoned };

struct line_queue {
  std::mutex mutex;
  std::condition_variable queued;   // a line was queued, or a stop was asked for
  std::condition_variable drained;  // the writer ended
  char ring[ring_bytes];
  size_t head = 0;  // where the oldest line's length is
  size_t used = 0;  // bytes held, lengths included
  unsigned long long dropped = 0;
  unsigned long long unreported = 0;  // dropped since the last "dropped" line
  writer_state state = writer_state::none;
  bool stopping = false;
  bool writer_done = false;
  std::atomic<bool> give_up{false};
  std::thread writer;
};

line_queue queue;
dropped_note describe_dropped = nullptr;  // set before the writer starts

// Waits for standard error to take more, then writes; true when all of it
// went out or standard error is gone, false when told to give up.
bool write_out(const char* data, size_t len) {
  while (len > 0) {
    pollfd out{STDERR_FILENO, POLLOUT, 0};
    const int ready = poll(&out, 1, give_up_check_ms);
    if (queue.give_up) return false;
    if (ready < 0 && errno != EINTR) return true;  // nowhere left to report it
    if (ready <= 0) continue;
    const ssize_t n = write(STDERR_FILENO, data, len);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return true;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Before the writer runs, and after it stopped in time, lines go out directly.
void write_directly(const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(STDERR_FILENO, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    len -= static_cast<size_t>(n);
  }
}

// Copies `len` bytes into the ring at `at`, wrapping at its end.
void ring_put(size_t at, const void* data, size_t len) {
  const size_t first = std::min(len, ring_bytes - at);
  memcpy(queue.ring + at, data, first);
  memcpy(queue.ring, static_cast<const char*>(data) + first, len - first);
}

// Copies `len` bytes out of the ring from `at`, wrapping at its end.
void ring_get(size_t at, void* out, size_t len) {
  const size_t first = std::min(len, ring_bytes - at);
  memcpy(out, queue.ring + at, first);
  memcpy(static_cast<char*>(out) + first, queue.ring, len - first);
}

// Moves whole lines from the ring into `batch`; called with the lock held.
size_t take_batch(char* batch) {
  size_t taken = 0;
  while (queue.used > 0) {
    line_length len = 0;
    ring_get(queue.head, &len, sizeof len);
    if (taken + len > batch_capacity) break;
    ring_get((queue.head + sizeof len) % ring_bytes, batch + taken, len);
    taken += len;
    queue.head = (queue.head + sizeof len + len) % ring_bytes;
    queue.used -= sizeof len + len;
  }
  return taken;
}

void writer_main() {
  static char batch[batch_capacity + line_capacity];
  std::unique_lock lock(queue.mutex);
  for (;;) {
    queue.queued.wait(lock,
                      [] { return queue.used > 0 || queue.unreported > 0 || queue.stopping; });
    if (queue.used == 0 && queue.unreported == 0) break;
    size_t used = take_batch(batch);
    unsigned long long dropped = 0;
    if (queue.used == 0) dropped = std::exchange(queue.unreported, 0);
    lock.unlock();
    if (dropped > 0) {
      char text[128];
      describe_dropped(text, sizeof text, dropped);
      used += format_line(batch + used, line_capacity, log_level::error, "log_lines_dropped",
                          {{"dropped", dropped}}, text);
    }
    const bool done = write_out(batch, used);
    lock.lock();
    if (!done) break;
  }
  queue.writer_done = true;
  queue.drained.notify_all();
}

// Queues one finished line (at most line_capacity bytes), drops it when the
// ring is full, or writes it.
void deliver(const char* line, size_t len) {
  std::unique_lock lock(queue.mutex);
  switch (queue.state) {
    case writer_state::running:
      break;
    case writer_state::abandoned:
      return;  // standard error took nothing for too long; nothing waits for it now
    case writer_state::none:
    case writer_state::stopped:
      lock.unlock();
      write_directly(line, len);
      return;
  }
  const line_length stored = static_cast<line_length>(len);
  if (queue.used + sizeof stored + len > ring_bytes) {
    ++queue.dropped;
    ++queue.unreported;
    return;
  }
  const size_t tail = (queue.head + queue.used) % ring_bytes;
  ring_put(tail, &stored, sizeof stored);
  ring_put((tail + sizeof stored) % ring_bytes, line, len);
  const bool was_empty = queue.used == 0;  // else the writer is not waiting
  queue.used += sizeof stored + len;
  lock.unlock();
  if (was_empty) queue.queued.notify_one();
}

}  // namespace

void set_log_level(verbosity level) { current_level = level; }

void set_log_format(log_format format) { current_format = format; }

// Runs before any thread exists, so getenv is safe.
void choose_log_format() {
  const char* stream = getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
  if (stream == nullptr) return;
  // "DEVICE:INODE" of the journal's end of standard error.
  char* colon = nullptr;
  errno = 0;
  const unsigned long long dev = strtoull(stream, &colon, 10);
  if (errno != 0 || *colon != ':') return;
  char* end = nullptr;
  const unsigned long long ino = strtoull(colon + 1, &end, 10);
  struct stat err {};
  to_journal = errno == 0 && *end == '\0' && fstat(STDERR_FILENO, &err) == 0 && err.st_dev == dev &&
               err.st_ino == ino;
}

bool logging_enabled(log_level level) {
  switch (level) {
    case log_level::error:
      return true;
    case log_level::note:
      return current_level != verbosity::quiet;
    case log_level::detail:
      return current_level == verbosity::verbose;
  }
  return true;
}

// The whole line is formatted first, so one write keeps lines apart.
void log_event(log_level level, const char* event, log_fields fields, const char* format, ...) {
  if (!logging_enabled(level)) return;
  char message[message_capacity];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n < 0) return;
  char line[line_capacity];
  const size_t len = format_line(line, sizeof line, level, event, fields, message);
  if (len > 0) deliver(line, len);
}

// std::thread reports pthread_create's error as an exception; it is turned
// into a failure here, where it is thrown.
bool start_log_writer(failure& why, dropped_note describe) {
  std::lock_guard lock(queue.mutex);
  describe_dropped = describe;
  try {
    queue.writer = std::thread(writer_main);
  } catch (const std::system_error& e) {
    why = {"pthread_create", e.code().value()};
    return false;
  }
  queue.state = writer_state::running;
  return true;
}

void stop_log_writer(std::chrono::milliseconds patience) {
  std::unique_lock lock(queue.mutex);
  if (queue.state != writer_state::running) return;
  queue.stopping = true;
  queue.queued.notify_one();
  const bool drained = queue.drained.wait_for(lock, patience, [] { return queue.writer_done; });
  if (!drained) queue.give_up = true;
  lock.unlock();
  queue.writer.join();
  lock.lock();
  queue.state = drained ? writer_state::stopped : writer_state::abandoned;
}

unsigned long long log_lines_dropped() {
  std::lock_guard lock(queue.mutex);
  return queue.dropped;
}

size_t log_queue_bytes() { return ring_bytes; }

std::string error_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // the GNU form returns the text
}

bool rate_limit::allow(unsigned& suppressed) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!first_ && now - last_ < interval_) {
    ++held_back_;
    return false;
  }
  first_ = false;
  last_ = now;
  suppressed = held_back_;
  held_back_ = 0;
  return true;
}

}  // namespace capecho
