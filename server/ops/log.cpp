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

#include "journal.h"

namespace capecho {
namespace {

// The words of an event, and its whole line: a JSON line carries the words
// escaped and the fields besides.
constexpr size_t message_capacity = 512;
constexpr size_t line_capacity = 1024;
// An event's journal entry: its words and fields once more, as KEY=value lines.
constexpr size_t entry_capacity = 1536;
// An event waits as a record: its length, its journal entry's length (0 when
// it has none), the entry, then the line standard error gets when the
// journal does not take the entry.
using record_length = uint16_t;
constexpr size_t record_header = 2 * sizeof(record_length);
constexpr size_t record_capacity = record_header + entry_capacity + line_capacity;
static_assert(record_capacity <= UINT16_MAX);
// Records wait in a ring of bytes. A session line is 60 to 200 bytes, so the
// ring holds about a second of -v lines at 20,000 sessions a second (half
// that with journal entries): enough for the writer to wait for a CPU, or for
// a disk or the journal to pause, without losing a line. It is allocated with
// the program, and its pages are touched only as records fill them.
constexpr size_t ring_bytes = size_t{2} << 20;
constexpr size_t batch_capacity = 4096;  // one pipe buffer: a write of it is atomic
// How often a writer waiting for standard error looks whether it should give up.
constexpr int give_up_check_ms = 100;

std::atomic<verbosity> current_level{verbosity::normal};
std::atomic<bool> to_journal{false};
std::atomic<log_format> current_format{log_format::text};
// Entries go to the journal's socket: set with the format, before any thread.
bool journal_entries = false;
journal_socket journal;
// Events the journal did not take, written to standard error instead.
std::atomic<unsigned long long> journal_fallbacks{0};

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

// The whole record of one event in `record` (record_capacity bytes); returns
// its length, 0 when the line cannot be formatted.
size_t format_record(char* record, log_level level, const char* event, log_fields fields,
                     const char* message) {
  const int priority = level == log_level::error ? 3 : level == log_level::note ? 5 : 6;
  // An entry too big for its room has none: the line goes to standard error.
  const size_t entry = journal_entries
                           ? format_journal_entry(record + record_header, entry_capacity, priority,
                                                  event, fields, message)
                           : 0;
  const size_t line =
      format_line(record + record_header + entry, line_capacity, level, event, fields, message);
  if (line == 0) return 0;
  const auto total = static_cast<record_length>(record_header + entry + line);
  const auto entry_length = static_cast<record_length>(entry);
  memcpy(record, &total, sizeof total);
  memcpy(record + sizeof total, &entry_length, sizeof entry_length);
  return total;
}

// How the journal took a batch's entries: why it last refused one, for the
// writer's note, and whether it took the last one sent.
struct journal_refusal {
  const char* call = "";
  int err = 0;
  bool tried = false;
  bool took_last = false;
};

// Sends each record's journal entry; the lines of those without one, or whose
// entry the journal refused, are moved to the start of `batch`, in order.
// Returns their length; `refused` says why the last entry was refused.
size_t send_entries(char* batch, size_t used, journal_refusal& refused) {
  size_t lines = 0;
  for (size_t at = 0; at < used;) {
    record_length total = 0;
    record_length entry = 0;
    memcpy(&total, batch + at, sizeof total);
    memcpy(&entry, batch + at + sizeof total, sizeof entry);
    const char* entry_data = batch + at + record_header;
    const char* line = entry_data + entry;
    const size_t line_length = total - record_header - entry;
    at += total;
    if (entry > 0) {
      const char* call = "";
      const int err = journal.send(entry_data, entry, call);
      refused.tried = true;
      refused.took_last = err == 0;
      if (err == 0) continue;
      refused.call = call;
      refused.err = err;
    }
    if (journal_entries) journal_fallbacks.fetch_add(1, std::memory_order_relaxed);
    memmove(batch + lines, line, line_length);
    lines += line_length;
  }
  return lines;
}

enum class writer_state { none, running, stopped, abandoned };

struct line_queue {
  std::mutex mutex;
  std::condition_variable queued;   // a line was queued, or a stop was asked for
  std::condition_variable drained;  // the writer ended
  char ring[ring_bytes];
  size_t head = 0;  // where the oldest record starts
  size_t used = 0;  // bytes held, whole records
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
journal_note describe_journal = nullptr;  // likewise

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

// Before the writer runs, and after it stopped in time, records go out
// directly, to the journal or standard error.
void write_directly(char* record, size_t len) {
  journal_refusal refused;
  const char* data = record;
  len = send_entries(record, len, refused);
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

// Moves whole records from the ring into `batch`; called with the lock held.
size_t take_batch(char* batch) {
  static_assert(record_capacity <= batch_capacity, "a batch takes at least one record");
  size_t taken = 0;
  while (queue.used > 0) {
    record_length len = 0;
    ring_get(queue.head, &len, sizeof len);
    if (taken + len > batch_capacity) break;
    ring_get(queue.head, batch + taken, len);
    taken += len;
    queue.head = (queue.head + len) % ring_bytes;
    queue.used -= len;
  }
  return taken;
}

// Says, at most once a second, that the journal stopped taking entries and
// that their lines go to standard error instead; adds it to the `lines` in
// `batch` and returns their new length.
size_t note_journal_refusal(char* batch, size_t lines, const journal_refusal& refused) {
  static rate_limit notes;
  unsigned suppressed = 0;
  if (describe_journal == nullptr || !notes.allow(suppressed)) return lines;
  char text[256];
  const unsigned long long fallbacks = journal_fallbacks.load(std::memory_order_relaxed);
  describe_journal(text, sizeof text, refused.call, refused.err, fallbacks);
  return lines +
         format_line(batch + lines, line_capacity, log_level::error, "journal_refused",
                     {{"call", refused.call}, {"errno", refused.err}, {"fallbacks", fallbacks}},
                     text);
}

void writer_main() {
  // A full batch, the record of the note on dropped lines, and the line of
  // the note on the journal.
  static char batch[batch_capacity + record_capacity + line_capacity];
  bool journal_took = true;  // the last entry sent, if any, was taken
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
      used += format_record(batch + used, log_level::error, "log_lines_dropped",
                            {{"dropped", dropped}}, text);
    }
    journal_refusal refused;
    used = send_entries(batch, used, refused);
    // Once when the journal stops taking entries, not for each one refused.
    if (refused.err != 0 && journal_took) used = note_journal_refusal(batch, used, refused);
    if (refused.tried) journal_took = refused.took_last;
    const bool done = write_out(batch, used);
    lock.lock();
    if (!done) break;
  }
  queue.writer_done = true;
  queue.drained.notify_all();
}

// Queues one finished record (at most record_capacity bytes), drops it when
// the ring is full, or writes it.
void deliver(char* record, size_t len) {
  std::unique_lock lock(queue.mutex);
  switch (queue.state) {
    case writer_state::running:
      break;
    case writer_state::abandoned:
      return;  // standard error took nothing for too long; nothing waits for it now
    case writer_state::none:
    case writer_state::stopped:
      lock.unlock();
      write_directly(record, len);
      return;
  }
  if (queue.used + len > ring_bytes) {
    ++queue.dropped;
    ++queue.unreported;
    return;
  }
  const size_t tail = (queue.head + queue.used) % ring_bytes;
  ring_put(tail, record, len);
  const bool was_empty = queue.used == 0;  // else the writer is not waiting
  queue.used += len;
  lock.unlock();
  if (was_empty) queue.queued.notify_one();
}

}  // namespace

void set_log_level(verbosity level) { current_level = level; }

void set_log_format(log_format format) {
  current_format = format;
  // Text stays one line on the journal's stream, as it always was.
  journal_entries = to_journal && format != log_format::text;
  if (journal_entries) journal.open();
}

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
  char record[record_capacity];
  const size_t len = format_record(record, level, event, fields, message);
  if (len > 0) deliver(record, len);
}

// std::thread reports pthread_create's error as an exception; it is turned
// into a failure here, where it is thrown.
bool start_log_writer(failure& why, dropped_note describe, journal_note describe_refusal) {
  std::lock_guard lock(queue.mutex);
  describe_dropped = describe;
  describe_journal = describe_refusal;
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

unsigned long long log_journal_fallbacks() {
  return journal_fallbacks.load(std::memory_order_relaxed);
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
