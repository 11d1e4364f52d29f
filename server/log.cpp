#include "log.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

#include "events.h"

namespace capecho {
namespace {

constexpr size_t line_capacity = 512;
constexpr size_t queued_lines = 256;     // 128 KiB, allocated with the program
constexpr size_t batch_capacity = 4096;  // one pipe buffer: a write of it is atomic
// How often a writer waiting for standard error looks whether it should give up.
constexpr int give_up_check_ms = 100;

std::atomic<verbosity> current_level{verbosity::normal};

enum class writer_state { none, running, stopped, abandoned };

struct line_queue {
  std::mutex mutex;
  std::condition_variable queued;   // a line was queued, or a stop was asked for
  std::condition_variable drained;  // the writer ended
  char text[queued_lines][line_capacity];
  size_t length[queued_lines];
  size_t head = 0;
  size_t count = 0;
  unsigned long long dropped = 0;
  unsigned long long unreported = 0;  // dropped since the last "dropped" line
  writer_state state = writer_state::none;
  bool stopping = false;
  bool writer_done = false;
  std::atomic<bool> give_up{false};
  std::thread writer;
};

line_queue queue;

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

// Moves whole lines from the queue into `batch`; called with the lock held.
size_t take_batch(char* batch) {
  size_t used = 0;
  while (queue.count > 0 && used + queue.length[queue.head] <= batch_capacity) {
    memcpy(batch + used, queue.text[queue.head], queue.length[queue.head]);
    used += queue.length[queue.head];
    queue.head = (queue.head + 1) % queued_lines;
    --queue.count;
  }
  return used;
}

void writer_main() {
  static char batch[batch_capacity + line_capacity];
  std::unique_lock lock(queue.mutex);
  for (;;) {
    queue.queued.wait(lock,
                      [] { return queue.count > 0 || queue.unreported > 0 || queue.stopping; });
    if (queue.count == 0 && queue.unreported == 0) break;
    size_t used = take_batch(batch);
    unsigned long long dropped = 0;
    if (queue.count == 0) dropped = std::exchange(queue.unreported, 0);
    lock.unlock();
    if (dropped > 0) used += format_lines_dropped(batch + used, line_capacity, dropped);
    const bool done = write_out(batch, used);
    lock.lock();
    if (!done) break;
  }
  queue.writer_done = true;
  queue.drained.notify_all();
}

// Queues one finished line, drops it when the queue is full, or writes it.
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
  if (queue.count == queued_lines) {
    ++queue.dropped;
    ++queue.unreported;
    return;
  }
  const size_t slot = (queue.head + queue.count) % queued_lines;
  memcpy(queue.text[slot], line, len);
  queue.length[slot] = len;
  ++queue.count;
  lock.unlock();
  queue.queued.notify_one();
}

}  // namespace

void set_log_level(verbosity level) { current_level = level; }

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
void log_line(log_level level, const char* format, ...) {
  if (!logging_enabled(level)) return;
  char line[line_capacity];
  const int prefix = snprintf(line, sizeof line, "%s", log_prefix);
  va_list args;
  va_start(args, format);
  int len = vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 1, format, args);
  va_end(args);
  if (len < 0) return;
  len = std::min(prefix + len, static_cast<int>(sizeof line) - 2);
  line[len++] = '\n';
  deliver(line, static_cast<size_t>(len));
}

bool start_log_writer(std::string& error) {
  std::lock_guard lock(queue.mutex);
  try {
    queue.writer = std::thread(writer_main);
  } catch (const std::system_error& e) {
    error = e.what();
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
