#include "listen_family.h"

#include <errno.h>
#include <sys/socket.h>

#include "events.h"
#include "unique_fd.h"

namespace capecho {
namespace {

// The error socket() gives for the family, 0 when it has one.
int socket_error(int family) {
  const unique_fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd.valid() ? 0 : errno;
}

}  // namespace

bool family_missing(const endpoint& at, const std::vector<endpoint>& all) {
  const int err = socket_error(at.storage.ss_family);
  if (err != EAFNOSUPPORT) return false;
  for (const endpoint& other : all) {
    if (other.storage.ss_family == at.storage.ss_family ||
        socket_error(other.storage.ss_family) != 0)
      continue;
    log_family_missing(format_endpoint(at), err);
    return true;
  }
  return false;
}

}  // namespace capecho
