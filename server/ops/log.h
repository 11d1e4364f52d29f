// The mechanism behind every log line: one line per event on standard error,
// behind the program's prefix. The wording of each event lives in events.cpp.
//
// Once start_log_writer() has run, a log call only copies its line into a
// bounded queue (about a second of -v lines at 20,000 sessions a second) that
// a thread of its own writes out; when the queue is full (standard error is
// stalled) the line is dropped and counted, so no log call ever blocks serving.
#ifndef CAPECHO_SERVER_LOG_H
#define CAPECHO_SERVER_LOG_H

#include <stddef.h>

#include <chrono>
#include <mutex>
#include <string>

#include "failure.h"
#include "log_format.h"

namespace capecho {

enum class verbosity { quiet, normal, verbose };
enum class log_level { error, note, detail };

void set_log_level(verbosity level);
bool logging_enabled(log_level level);

// Text unless told otherwise; set once at start, before any thread exists,
// after choose_log_format.
void set_log_format(log_format format);

// When JOURNAL_STREAM says standard error is the journal, lines start with
// their syslog priority (<3> errors, <5> notes, <6> details) and carry no
// time; otherwise with the UTC time to the millisecond (RFC 3339). Call it
// once at start, before any thread exists.
//
// Under the journal, json and logfmt send each event to the journal's socket
// instead, as fields (journal.h); an event it does not take (no socket, its
// queue full, too big) is written to standard error as its line, counted,
// and the writer says so once.
void choose_log_format();

// Formats and queues one event's line (or writes it, before the writer
// runs): `event` is its stable name, `fields` its values, and the printf
// `format` its words. events.cpp calls it, one function per event.
void log_event(log_level level, const char* event, log_fields fields, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Words the note the writer adds after it had to drop lines (the wording of
// every event is events.cpp's); returns its length.
using dropped_note = size_t (*)(char* buf, size_t capacity, unsigned long long dropped);

// Words the note the writer adds when the journal's socket refuses an entry
// (`call` failed with `err`; `fallbacks` events went to standard error so
// far); returns its length.
using journal_note = size_t (*)(char* buf, size_t capacity, const char* call, int err,
                                unsigned long long fallbacks);

// Starts the writer thread. False, with the failed call, if it cannot.
bool start_log_writer(failure& why, dropped_note describe_dropped,
                      journal_note describe_refusal = nullptr);

// Writes out what is queued, waiting at most `patience` for standard error to
// take it, then stops the writer; later lines are written directly again.
void stop_log_writer(std::chrono::milliseconds patience);

// Lines dropped so far because the queue was full.
unsigned long long log_lines_dropped();

// Events written to standard error because the journal did not take them.
unsigned long long log_journal_fallbacks();

// How many bytes of lines the queue holds (each line costs four more, and
// its journal entry when it has one).
size_t log_queue_bytes();

// The system's text for an errno value, safe in any thread.
std::string error_text(int err);

// Lets through one event per interval and counts the ones it holds back, so
// a storm of identical events costs one line a second.
class rate_limit {
 public:
  explicit rate_limit(std::chrono::milliseconds interval = std::chrono::seconds(1))
      : interval_(interval) {}
  // True when this event may be logged; `suppressed` is then how many were
  // held back since the last one that was.
  bool allow(unsigned& suppressed);

 private:
  std::mutex mutex_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point last_{};
  unsigned held_back_ = 0;
  bool first_ = true;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_LOG_H
