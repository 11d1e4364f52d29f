#include "owned_thread.h"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace capecho {

bool owned_thread::start_routine(void* (*routine)(void*), void* arg, size_t stack_bytes,
                                 failure& why) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    why = {"pthread_attr_init", rc};
    return false;
  }
  const char* call = "pthread_attr_setstacksize";
  rc = stack_bytes != 0 ? pthread_attr_setstacksize(&attr, stack_bytes) : 0;
  if (rc == 0) {
    call = "pthread_create";
    rc = pthread_create(&thread_, &attr, routine, arg);
  }
  (void)pthread_attr_destroy(&attr);  // fails only for an attribute never set up
  if (rc != 0) {
    why = {call, rc};
    return false;
  }
  started_ = true;
  return true;
}

void owned_thread::join() {
  if (!started_) return;
  (void)pthread_join(thread_, nullptr);  // fails only for a thread that is not joinable
  started_ = false;
}

bool wake_up::open(failure& why) {
  fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (fd_.valid()) return true;
  why = {"eventfd", errno};
  return false;
}

void wake_up::signal() const {
  const uint64_t one = 1;
  if (write(fd_.get(), &one, sizeof one) < 0) {
    // EAGAIN: the counter is full, so the waiter wakes all the same.
  }
}

void wake_up::take() const {
  uint64_t count = 0;
  if (read(fd_.get(), &count, sizeof count) < 0) {
    // EAGAIN: nothing to take, another read took it first.
  }
}

}  // namespace capecho
