// Owns one descriptor and closes it when it goes out of scope, on every path.
#ifndef CAPECHO_SERVER_UNIQUE_FD_H
#define CAPECHO_SERVER_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace capecho {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Hands the descriptor over to whoever closes it next.
  int release() { return std::exchange(fd_, -1); }

  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_UNIQUE_FD_H
