// Events as the journal's own entries: when standard error is the journal
// and a structured --log-format is chosen, each event is one datagram on the
// journal's native socket, its fields kept as fields (MESSAGE, PRIORITY,
// SYSLOG_IDENTIFIER, CAPECHO_EVENT and CAPECHO_<FIELD> for each of its own),
// so `journalctl CAPECHO_EVENT=session` finds them without parsing a line.
#ifndef CAPECHO_SERVER_JOURNAL_H
#define CAPECHO_SERVER_JOURNAL_H

#include <stddef.h>

#include "log_format.h"
#include "unique_fd.h"

namespace capecho {

// The entry's payload in `buf`: one KEY=value line per field, a value with a
// line feed in the length-prefixed form. Returns its length, 0 when it does
// not fit in `capacity` (nothing is cut: the caller writes the line instead).
// No allocation.
size_t format_journal_entry(char* buf, size_t capacity, int priority, const char* event,
                            log_fields fields, const char* message);

// An unbound, non-blocking datagram socket that sends entries to the journal.
class journal_socket {
 public:
  // Opens the socket; a failure is kept and reported by every send.
  void open();
  // 0 once the journal took the entry, else the errno of the failed call
  // (`call` names it): the socket is missing, its queue is full (EAGAIN,
  // ENOBUFS) or the entry too big (EMSGSIZE). Never waits. Safe from any
  // thread: each entry is one datagram.
  int send(const char* entry, size_t len, const char*& call) const;

 private:
  unique_fd fd_;
  int open_error_ = 0;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_JOURNAL_H
