// Unix-domain listeners' socket files: made with a known mode, a stale one
// replaced, and removed again at exit.
#ifndef CAPECHO_SERVER_SOCKET_FILE_H
#define CAPECHO_SERVER_SOCKET_FILE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "address.h"
#include "failure.h"

namespace capecho {

// Owner and group may connect, others may not; the owner is whoever runs
// the server.
inline constexpr mode_t socket_file_mode = 0660;

// Readies `at`'s path for bind: nothing there, or a socket file nobody
// listens on (left by a server that was killed), which is removed. A live
// socket or a file of another kind is refused, saying so in `why`.
bool clear_stale_socket_file(const endpoint& at, failure& why);

// bind() with the file created as socket_file_mode whatever the umask.
// Changes the process's umask for the call: before any thread exists only.
int bind_socket_file(int fd, const endpoint& at);

// The socket files this server made, removed when it is done with them,
// each only if it is still the same file (not one a successor made).
class socket_files {
 public:
  socket_files() = default;
  socket_files(const socket_files&) = delete;
  socket_files& operator=(const socket_files&) = delete;
  ~socket_files();

  // Remembers the file bound at `at`, if a socket file.
  void claim(const endpoint& at);

 private:
  struct file {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  std::vector<file> files_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SOCKET_FILE_H
