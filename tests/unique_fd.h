// A descriptor closed when the test leaves scope, failed assertions included.
#ifndef CAPECHO_TESTS_UNIQUE_FD_H
#define CAPECHO_TESTS_UNIQUE_FD_H

#include <unistd.h>

namespace capecho_test {

class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() {
    if (fd_ >= 0) close(fd_);
  }
  unique_fd(unique_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  operator int() const { return fd_; }  // NOLINT(google-explicit-constructor): used like an int

 private:
  int fd_;
};

}  // namespace capecho_test

#endif  // CAPECHO_TESTS_UNIQUE_FD_H
