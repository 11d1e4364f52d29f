// capecho-server as shipped, with system calls that fail on demand, for the
// tests of what the host does when the system says no. Set in the
// environment:
//   FAULT_THREADS=N    the first N worker threads cannot be created
//   FAULT_WORKER_THREADS=N  N worker threads can be created, and no more
//                      ever: the others keep failing (threads of other
//                      kinds are not limited)
//   FAULT_ALLOCS=N     once a connection is accepted, the next N allocations fail
//   FAULT_MALLOCS=N    once a connection is accepted, the next N malloc calls
//                      fail: the host makes them only to save a parked
//                      session's frames
//   FAULT_EPOLL_CTL=N  once a connection is accepted, the next N epoll_ctl
//                      calls fail: the registrations of new sessions
//   FAULT_EPOLL_WAIT=N once a connection is accepted, the next N epoll_wait
//                      calls fail: the workers' waits for their sessions
//   FAULT_EVENTFD=1    eventfd fails
//   FAULT_MALLOC_HANG=1 once a connection is accepted, the next malloc call
//                      never returns: a worker saving a parked session's
//                      frames is stuck for good
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "capecho.h"
#include "host.h"

extern "C" void* __real_malloc(size_t);

namespace {

std::atomic<int> threads_to_fail{-1};      // -1: not read from the environment yet
std::atomic<int> worker_threads_left{-1};  // -1: unlimited
// The host starts its workers before any other thread: the routine of the
// first thread it creates is the workers'.
std::atomic<void* (*)(void*)> worker_routine{nullptr};
std::atomic<int> allocs_to_fail{0};
std::atomic<int> mallocs_to_fail{0};
std::atomic<int> epoll_ctls_to_fail{0};
std::atomic<int> epoll_waits_to_fail{0};
std::atomic<int> mallocs_to_hang{0};
std::atomic<bool> allocs_armed{false};

int from_env(const char* name) {
  const char* v = getenv(name);
  return v != nullptr ? static_cast<int>(strtol(v, nullptr, 10)) : 0;
}

bool take_one(std::atomic<int>& budget) {
  int left = budget.load();
  while (left > 0 && !budget.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

}  // namespace

extern "C" {
int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __wrap_pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  int expected = -1;
  if (threads_to_fail.compare_exchange_strong(expected, from_env("FAULT_THREADS")) &&
      getenv("FAULT_WORKER_THREADS") != nullptr)
    worker_threads_left = from_env("FAULT_WORKER_THREADS");
  void* (*first)(void*) = nullptr;
  worker_routine.compare_exchange_strong(first, f);
  if (take_one(threads_to_fail)) return EAGAIN;
  if (f == worker_routine.load() && worker_threads_left.load() >= 0 &&
      !take_one(worker_threads_left))
    return EAGAIN;
  return __real_pthread_create(t, a, f, arg);
}

int __real_accept4(int, sockaddr*, socklen_t*, int);
int __wrap_accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
  const int r = __real_accept4(fd, addr, len, flags);
  if (r >= 0 && !allocs_armed.exchange(true)) {
    allocs_to_fail = from_env("FAULT_ALLOCS");
    mallocs_to_fail = from_env("FAULT_MALLOCS");
    epoll_ctls_to_fail = from_env("FAULT_EPOLL_CTL");
    epoll_waits_to_fail = from_env("FAULT_EPOLL_WAIT");
    mallocs_to_hang = from_env("FAULT_MALLOC_HANG");
  }
  return r;
}

void* __real_malloc(size_t);
void* __wrap_malloc(size_t n) {
  if (take_one(mallocs_to_hang))
    for (;;) pause();
  return take_one(mallocs_to_fail) ? nullptr : __real_malloc(n);
}

int __real_epoll_ctl(int, int, int, epoll_event*);
int __wrap_epoll_ctl(int epfd, int op, int fd, epoll_event* e) {
  if (take_one(epoll_ctls_to_fail)) {
    errno = ENOMEM;
    return -1;
  }
  return __real_epoll_ctl(epfd, op, fd, e);
}

int __real_epoll_wait(int, epoll_event*, int, int);
int __wrap_epoll_wait(int epfd, epoll_event* events, int max, int timeout_ms) {
  if (take_one(epoll_waits_to_fail)) {
    errno = EINVAL;
    return -1;
  }
  return __real_epoll_wait(epfd, events, max, timeout_ms);
}

int __real_eventfd(unsigned, int);
int __wrap_eventfd(unsigned count, int flags) {
  if (from_env("FAULT_EVENTFD") != 0) {
    errno = EMFILE;
    return -1;
  }
  return __real_eventfd(count, flags);
}
}

void* operator new(size_t n) {
  if (take_one(allocs_to_fail)) throw std::bad_alloc();
  void* p = __real_malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

int main(int argc, char** argv) { return capecho::host_main(argc, argv, send_msg); }
