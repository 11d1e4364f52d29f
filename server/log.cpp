#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace capecho {
namespace {

std::atomic<verbosity> current_level{verbosity::normal};

// Formats the whole line first, so that one write keeps lines from
// different threads apart.
__attribute__((format(printf, 1, 0))) void emit(const char* format, va_list args) {
  char line[512];
  const int prefix = snprintf(line, sizeof line, "capecho-server: ");
  int len = vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 1, format, args);
  if (len < 0) return;
  len = prefix + len;
  if (len > static_cast<int>(sizeof line) - 2) len = static_cast<int>(sizeof line) - 2;
  line[len++] = '\n';
  for (size_t done = 0; done < static_cast<size_t>(len);) {
    const ssize_t n = write(STDERR_FILENO, line + done, static_cast<size_t>(len) - done);
    if (n <= 0) return;  // nowhere left to report it
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void set_log_level(verbosity level) { current_level = level; }

std::string error_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // the GNU form returns the text
}
bool logging_verbose() { return current_level == verbosity::verbose; }

void log_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(format, args);
  va_end(args);
}

void log_note(const char* format, ...) {
  if (current_level == verbosity::quiet) return;
  va_list args;
  va_start(args, format);
  emit(format, args);
  va_end(args);
}

void log_detail(const char* format, ...) {
  if (current_level != verbosity::verbose) return;
  va_list args;
  va_start(args, format);
  emit(format, args);
  va_end(args);
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
