// One line per event on standard error, each behind the program's prefix.
#ifndef CAPECHO_SERVER_LOG_H
#define CAPECHO_SERVER_LOG_H

#include <chrono>
#include <mutex>
#include <string>

namespace capecho {

enum class verbosity { quiet, normal, verbose };

void set_log_level(verbosity level);

// The system's text for an errno value, safe in any thread.
std::string error_text(int err);
bool logging_verbose();

// Errors are printed at every level; notes are silenced by --quiet; details
// need --verbose.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_detail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lets through one event per interval and counts the ones it holds back, so
// a storm of identical errors costs one line a second.
class rate_limit {
 public:
  explicit rate_limit(std::chrono::milliseconds interval = std::chrono::seconds(1))
      : interval_(interval) {}
  // True when this event may be logged; `suppressed` is set to how many were
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
