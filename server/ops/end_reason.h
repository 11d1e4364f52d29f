// Why a session ended, as the -v line and the metrics name it.
#ifndef CAPECHO_SERVER_END_REASON_H
#define CAPECHO_SERVER_END_REASON_H

#include <stddef.h>

namespace capecho {

enum class end_reason : unsigned char {
  terminator,     // the handler returned after data: the client's terminator
  client_closed,  // end of stream
  client_reset,   // the connection was reset
  idle_timeout,   // the client sent and read nothing for --idle-timeout
  overload,       // overload protection ended it to make room
  stop,           // the server stopped before it ended
  error,          // any other failure
};
inline constexpr size_t end_reasons = 7;

// The stable name: a metric label and a log field ("client_closed").
const char* end_reason_name(end_reason r);
// The words for the text log ("client closed").
const char* end_reason_words(end_reason r);

}  // namespace capecho

#endif  // CAPECHO_SERVER_END_REASON_H
