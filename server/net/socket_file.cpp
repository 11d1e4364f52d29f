#include "socket_file.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

namespace capecho {

bool clear_stale_socket_file(const endpoint& at, failure& why) {
  const char* path = unix_path(at);
  if (path == nullptr) return true;
  struct stat st {};
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return true;
    why = {"lstat", errno};
    return false;
  }
  if (!S_ISSOCK(st.st_mode)) {
    why = {.refused = refusal::unix_path_not_socket, .culprit = path};
    return false;
  }
  // Non-blocking, so a live server with a full backlog answers EAGAIN at
  // once instead of holding the start up.
  const unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!probe.valid()) {
    why = {"socket", errno};
    return false;
  }
  int rc = 0;
  do rc = connect(probe.get(), at.addr(), at.length);
  while (rc != 0 && errno == EINTR);
  if (rc == 0 || errno == EAGAIN) {
    why = {.refused = refusal::unix_path_in_use, .culprit = path};
    return false;
  }
  if (errno != ECONNREFUSED) {
    why = {"connect", errno};
    return false;
  }
  if (unlink(path) != 0 && errno != ENOENT) {
    why = {"unlink", errno};
    return false;
  }
  return true;
}

int bind_socket_file(int fd, const endpoint& at) {
  const mode_t before = umask(0777 & ~socket_file_mode);
  const int rc = bind(fd, at.addr(), at.length);
  const int err = errno;
  umask(before);
  errno = err;
  return rc;
}

void socket_files::claim(const endpoint& at) {
  const char* path = unix_path(at);
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return;
  files_.push_back({path, st.st_dev, st.st_ino});
}

socket_files::~socket_files() {
  for (const file& f : files_) {
    struct stat st {};
    if (stat(f.path.c_str(), &st) == 0 && st.st_dev == f.device && st.st_ino == f.inode)
      (void)unlink(f.path.c_str());  // nothing more to do if it fails: the next start clears it
  }
}

}  // namespace capecho
