// Where sessions wait while their client is quiet: a fiber that would block
// is suspended and its socket watched with epoll, one-shot, so the worker
// thread can serve others. When the socket is ready, or the session's idle
// time runs out, the fiber is handed back to a worker.
#ifndef CAPECHO_SERVER_PARKING_H
#define CAPECHO_SERVER_PARKING_H

#include <pthread.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "fiber.h"
#include "unique_fd.h"

namespace capecho {

// What a suspended session waits for; it lives on the session's own stack.
struct parked_wait {
  fiber* session = nullptr;
  int fd = -1;
  uint32_t events = 0;  // EPOLLIN or EPOLLOUT
  bool has_deadline = false;
  std::chrono::steady_clock::time_point deadline{};
  bool timed_out = false;  // set when it is handed back for its deadline
  parked_wait* prev = nullptr;
  parked_wait* next = nullptr;
};

class parking_lot {
 public:
  // `resume` hands a fiber to a worker; it is called from the lot's thread.
  explicit parking_lot(std::function<void(fiber*)> resume);
  ~parking_lot();
  parking_lot(const parking_lot&) = delete;
  parking_lot& operator=(const parking_lot&) = delete;

  // Opens the epoll set and starts the thread; false with the reason in `error`.
  bool start(std::string& error);

  // Stops the thread. Sessions still parked stay suspended: end them first.
  void stop();

  // From the worker whose fiber suspended asking for `w`, once the switch
  // is complete. The worker must not touch the fiber afterwards.
  void park(parked_wait* w);

  size_t parked() const;

 private:
  static void* thread_main(void* self);
  void watch();
  void hand_back_expired();
  int wait_ms() const;

  std::function<void(fiber*)> resume_;
  unique_fd epoll_;
  unique_fd wake_;
  pthread_t thread_{};
  bool running_ = false;
  mutable std::mutex mutex_;
  parked_wait* head_ = nullptr;  // every parked session
  size_t parked_ = 0;
  bool stopping_ = false;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_PARKING_H
