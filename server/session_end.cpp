#include "session_end.h"

#include <errno.h>

namespace capecho {

end_reason why_ended(const call_record& last, host_ending ending) {
  // The handler returns after data only on its terminator. Checked first: a
  // shutdown that comes after that changed nothing.
  if (last.made && last.n > 0) return end_reason::terminator;
  if (ending == host_ending::overload) return end_reason::overload;
  if (ending == host_ending::stop) return end_reason::stop;
  if (!last.made) return end_reason::error;
  if (last.n == 0) return last.input ? end_reason::client_closed : end_reason::error;
  switch (last.err) {
    case ECONNRESET:
    case EPIPE:
      return end_reason::client_reset;
    case EAGAIN:  // a wait past the idle time-out, as a socket's time-out says it
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return end_reason::idle_timeout;
    default:
      return end_reason::error;
  }
}

}  // namespace capecho
