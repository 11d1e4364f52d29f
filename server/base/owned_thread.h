// The server's threads are started one way: a stack size when one is asked
// for, a failure that names the call, and a join that happens once. What
// wakes a thread to stop is its owner's (an eventfd, a signal); the eventfd
// kind is wake_up below.
#ifndef CAPECHO_SERVER_OWNED_THREAD_H
#define CAPECHO_SERVER_OWNED_THREAD_H

#include <pthread.h>
#include <stddef.h>

#include "failure.h"
#include "unique_fd.h"

namespace capecho {

class owned_thread {
 public:
  owned_thread() = default;
  ~owned_thread() { join(); }
  owned_thread(const owned_thread&) = delete;
  owned_thread& operator=(const owned_thread&) = delete;

  // Runs (self->*Run)() on a new thread; `stack_bytes` zero: the default.
  // False, with the failed call, if it cannot start.
  template <class T, void (T::*Run)()>
  bool start(T* self, size_t stack_bytes, failure& why) {
    return start_routine(
        [](void* p) -> void* {
          (static_cast<T*>(p)->*Run)();
          return nullptr;
        },
        self, stack_bytes, why);
  }

  bool running() const { return started_; }
  pthread_t handle() const { return thread_; }

  // Waits for the thread to end, if it runs.
  void join();

 private:
  bool start_routine(void* (*routine)(void*), void* arg, size_t stack_bytes, failure& why);

  pthread_t thread_{};
  bool started_ = false;
};

// An eventfd that wakes a thread waiting in poll or epoll.
class wake_up {
 public:
  // False, with the failed call, if it cannot be opened.
  bool open(failure& why);
  void close() { fd_.reset(); }
  int fd() const { return fd_.get(); }
  // Wakes the waiter; from any thread.
  void signal() const;
  // Takes the wake-up, so that a later wait waits again.
  void take() const;

 private:
  unique_fd fd_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_OWNED_THREAD_H
