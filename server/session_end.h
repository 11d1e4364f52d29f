// Why a session ended, told by the host from the outside: the handler only
// returns. What the last call on the socket returned says most; a session the
// server shut down itself (overload protection, the stop) is marked so.
#ifndef CAPECHO_SERVER_SESSION_END_H
#define CAPECHO_SERVER_SESSION_END_H

#include "admission.h"
#include "end_reason.h"
#include "session.h"

namespace capecho {

end_reason why_ended(const call_record& last, host_ending ending);

}  // namespace capecho

#endif  // CAPECHO_SERVER_SESSION_END_H
