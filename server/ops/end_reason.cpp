#include "end_reason.h"

namespace capecho {

const char* end_reason_name(end_reason r) {
  switch (r) {
    case end_reason::terminator:
      return "terminator";
    case end_reason::client_closed:
      return "client_closed";
    case end_reason::client_reset:
      return "client_reset";
    case end_reason::idle_timeout:
      return "idle_timeout";
    case end_reason::overload:
      return "overload";
    case end_reason::stop:
      return "stop";
    case end_reason::error:
      break;
  }
  return "error";
}

const char* end_reason_words(end_reason r) {
  switch (r) {
    case end_reason::terminator:
      return "terminator";
    case end_reason::client_closed:
      return "client closed";
    case end_reason::client_reset:
      return "client reset";
    case end_reason::idle_timeout:
      return "idle time-out";
    case end_reason::overload:
      return "overload protection";
    case end_reason::stop:
      return "server stopping";
    case end_reason::error:
      break;
  }
  return "error";
}

}  // namespace capecho
