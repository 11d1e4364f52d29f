#include "log_format.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace capecho {
namespace {

constexpr char program[] = "capecho-server";

const char* level_name(int priority) {
  return priority <= 3 ? "error" : priority == 5 ? "notice" : "info";
}

// Appends to a bounded line, keeping `reserve` bytes at its end for what
// closes it; whatever does not fit is left out, and `full` says so.
class line_builder {
 public:
  line_builder(char* buf, size_t capacity, size_t reserve)
      : buf_(buf), limit_(capacity > reserve ? capacity - reserve : 0) {}

  // All of it or nothing.
  bool raw(std::string_view s) {
    if (full_ || used_ + s.size() > limit_) return fail();
    memcpy(buf_ + used_, s.data(), s.size());
    used_ += s.size();
    return true;
  }
  // As much of it as fits.
  void some(std::string_view s) {
    const size_t room = used_ < limit_ ? limit_ - used_ : 0;
    (void)raw(s.substr(0, room));
  }
  bool number(unsigned long long v) {
    char text[24];
    const int n = snprintf(text, sizeof text, "%llu", v);
    return raw({text, static_cast<size_t>(n)});
  }
  bool real(double v) {
    char text[32];
    const int n = snprintf(text, sizeof text, "%.6g", v);
    return raw({text, static_cast<size_t>(std::min<int>(n, sizeof text - 1))});
  }
  // A JSON string, cut short (and still closed) when room runs out. Bytes
  // beyond ASCII may not be UTF-8: each stands for itself.
  bool json_string(std::string_view s) { return quoted(s, byte_escape::json); }
  // A logfmt value: bare when it is a plain word, else quoted as in Go.
  bool logfmt_value(std::string_view s) {
    const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
      const auto c = static_cast<unsigned char>(ch);
      return c > ' ' && c < 0x7f && c != '"' && c != '=' && c != '\\';
    });
    return plain ? raw(s) : quoted(s, byte_escape::logfmt);
  }
  // What closes the line goes into the reserved room.
  void close(std::string_view s) {
    limit_ += s.size();
    full_ = false;
    (void)raw(s);
  }
  size_t used() const { return used_; }

 private:
  enum class byte_escape { json, logfmt };  // \u00XX or \xXX

  // `s` between quotes, with quotes, backslashes and line feeds escaped and
  // other control or non-ASCII bytes by their value; cut short, and still
  // closed, when room runs out.
  bool quoted(std::string_view s, byte_escape style) {
    // Both quotes must fit, or the line would end inside the string.
    if (full_ || used_ + 2 > limit_ || !raw("\"")) return fail();
    --limit_;  // the closing quote's room
    for (const char ch : s) {
      const auto c = static_cast<unsigned char>(ch);
      char esc[8];
      std::string_view piece;
      if (c == '"' || c == '\\') {
        esc[0] = '\\';
        esc[1] = static_cast<char>(c);
        piece = {esc, 2};
      } else if (c == '\n') {
        piece = "\\n";
      } else if (c < 0x20 || c >= 0x7f) {
        const int n = style == byte_escape::json ? snprintf(esc, sizeof esc, "\\u%04x", c)
                                                 : snprintf(esc, sizeof esc, "\\x%02x", c);
        piece = {esc, static_cast<size_t>(n)};
      } else {
        piece = {reinterpret_cast<const char*>(&ch), 1};
      }
      if (!raw(piece)) break;
    }
    ++limit_;
    const bool fitted = !full_;
    full_ = false;
    (void)raw("\"");
    full_ = !fitted;
    return fitted;
  }
  bool fail() {
    full_ = true;
    return false;
  }
  char* buf_;
  size_t limit_;
  size_t used_ = 0;
  bool full_ = false;
};

// "2026-12-08T17:20:53.123Z"; empty if the clock cannot be read.
void format_time(const timespec& now, char (&out)[48]) {
  out[0] = '\0';
  tm utc{};
  if (gmtime_r(&now.tv_sec, &utc) == nullptr) return;
  char date[24];
  if (strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc) == 0) return;
  (void)snprintf(out, sizeof out, "%s.%03dZ", date, static_cast<int>(now.tv_nsec / 1000000));
}

size_t format_text(line_builder& b, const line_context& c, const char* message) {
  char stamp[56];
  if (c.journal) {
    (void)snprintf(stamp, sizeof stamp, "<%d>", c.priority);
  } else {
    char time[48];
    format_time(c.now, time);
    (void)snprintf(stamp, sizeof stamp, "%s ", time);
  }
  (void)b.raw(stamp);
  (void)b.raw(program);
  (void)b.raw(": ");
  b.some(message);
  b.close("\n");
  return b.used();
}

size_t format_json(line_builder& b, const line_context& c, const char* event, log_fields fields,
                   const char* message) {
  char time[48];
  format_time(c.now, time);
  b.raw("{\"time\":") && b.json_string(time) && b.raw(",\"level\":") &&
      b.json_string(level_name(c.priority)) && b.raw(",\"event\":") && b.json_string(event);
  for (const log_field& f : fields) {
    if (f.type == log_field::kind::absent) continue;
    if (!b.raw(",") || !b.json_string(f.key) || !b.raw(":")) break;
    const bool done = f.type == log_field::kind::text     ? b.json_string(f.text)
                      : f.type == log_field::kind::number ? b.number(f.number)
                                                          : b.real(f.real);
    if (!done) break;
  }
  // The message last: it is the longest, and cut short first.
  b.raw(",\"message\":") && b.json_string(message);
  b.close("}\n");
  return b.used();
}

size_t format_logfmt(line_builder& b, const line_context& c, const char* event, log_fields fields,
                     const char* message) {
  char time[48];
  format_time(c.now, time);
  b.raw("time=") && b.logfmt_value(time) && b.raw(" level=") &&
      b.logfmt_value(level_name(c.priority)) && b.raw(" event=") && b.logfmt_value(event);
  for (const log_field& f : fields) {
    if (f.type == log_field::kind::absent) continue;
    if (!b.raw(" ") || !b.raw(f.key) || !b.raw("=")) break;
    const bool done = f.type == log_field::kind::text     ? b.logfmt_value(f.text)
                      : f.type == log_field::kind::number ? b.number(f.number)
                                                          : b.real(f.real);
    if (!done) break;
  }
  b.raw(" message=") && b.logfmt_value(message);
  b.close("\n");
  return b.used();
}

}  // namespace

bool parse_log_format(const char* name, log_format& out) {
  const std::string_view n(name);
  if (n == "text") {
    out = log_format::text;
  } else if (n == "json") {
    out = log_format::json;
  } else if (n == "logfmt") {
    out = log_format::logfmt;
  } else {
    return false;
  }
  return true;
}

size_t format_event(char* line, size_t capacity, const line_context& c, const char* event,
                    log_fields fields, const char* message) {
  // Room for what closes the line: "}\n" at most.
  constexpr size_t closing = 2;
  if (capacity < 64) return 0;
  size_t at = 0;
  if (c.journal && c.format != log_format::text)
    at = static_cast<size_t>(snprintf(line, capacity, "<%d>", c.priority));
  line_builder b(line + at, capacity - at, closing);
  switch (c.format) {
    case log_format::text:
      return format_text(b, c, message);
    case log_format::json:
      return at + format_json(b, c, event, fields, message);
    case log_format::logfmt:
      return at + format_logfmt(b, c, event, fields, message);
  }
  return 0;
}

}  // namespace capecho
