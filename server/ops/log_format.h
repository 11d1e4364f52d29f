// How one log event becomes one line: text for people (the default), or one
// JSON object or one logfmt record per line for a log collector. Every event
// gives its stable name, its fields and its words once; each format takes
// what it needs from the same call.
#ifndef CAPECHO_SERVER_LOG_FORMAT_H
#define CAPECHO_SERVER_LOG_FORMAT_H

#include <stddef.h>
#include <time.h>

#include <initializer_list>
#include <string_view>

namespace capecho {

enum class log_format { text, json, logfmt };

// One named value of an event. Text is copied when the line is formatted,
// so it may point anywhere that lives that long.
struct log_field {
  enum class kind : unsigned char { text, number, real, absent };
  log_field(const char* k, std::string_view v) : key(k), type(kind::text), text(v) {}
  log_field(const char* k, const char* v) : log_field(k, std::string_view(v)) {}
  log_field(const char* k, unsigned long long v) : key(k), type(kind::number), number(v) {}
  log_field(const char* k, unsigned long v) : log_field(k, static_cast<unsigned long long>(v)) {}
  log_field(const char* k, unsigned v) : log_field(k, static_cast<unsigned long long>(v)) {}
  log_field(const char* k, int v) : log_field(k, static_cast<unsigned long long>(v < 0 ? 0 : v)) {}
  log_field(const char* k, double v) : key(k), type(kind::real), real(v) {}
  // Left out of the line: a value this event does not know.
  static log_field none(const char* k) {
    log_field f(k, 0U);
    f.type = kind::absent;
    return f;
  }

  const char* key;
  kind type;
  std::string_view text{};
  unsigned long long number = 0;
  double real = 0;
};
using log_fields = std::initializer_list<log_field>;

// "text", "json" or "logfmt"; false for anything else.
bool parse_log_format(const char* name, log_format& out);

// What a line starts with and carries, besides the event.
struct line_context {
  log_format format = log_format::text;
  bool journal = false;  // standard error is the journal: "<PRIORITY>" first, no time in text
  int priority = 6;      // syslog's: 3 error, 5 notice, 6 info
  timespec now{};        // when the event happened, if not in the journal
};

// The whole line, newline included, in `line`: text puts the program's name
// and `message`; json and logfmt the time, level, event, message and
// fields, always whole and well formed (the message and text fields are cut
// short first when the line would not fit). Returns its length, 0 if
// `capacity` cannot hold even that. No allocation.
size_t format_event(char* line, size_t capacity, const line_context& c, const char* event,
                    log_fields fields, const char* message);

}  // namespace capecho

#endif  // CAPECHO_SERVER_LOG_FORMAT_H
