// How a session waits for its socket. A session calls its scheduler (wait
// until the socket is readable or writable, or a deadline passes); a worker
// implements one (worker.h). The scheduler keeps its own record of each
// session, a task: where its frames are, what its socket is ready for, what
// it waits for and until when. The session holds its task and hands it over,
// but never looks inside; the scheduler sees nothing of the session but it.
#ifndef CAPECHO_SERVER_SCHEDULER_H
#define CAPECHO_SERVER_SCHEDULER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <chrono>

#include "shared_stack.h"

namespace capecho {

using steady_time = std::chrono::steady_clock::time_point;
inline constexpr steady_time no_deadline = steady_time::max();

class scheduler;

// What a task is doing, as the metrics show it.
enum class task_state {
  reading_header,  // waiting for the balancer's PROXY header, parked or not
  serving,         // running the handler
  parked,          // serving, but waiting for its socket with no thread or stack
  ending,          // the handler returned; being accounted for and closed
};
inline constexpr size_t task_states = 4;

struct task {
  // What runs on its stack: entry(owner), which ends by scheduler::end().
  void (*entry)(void* owner) = nullptr;
  void* owner = nullptr;
  int fd = -1;  // the socket it waits for

  // The scheduler's own from here on.
  scheduler* home = nullptr;
  task_state state = task_state::serving;
  void* sp = nullptr;   // where its frames were left
  saved_frames frames;  // its frames, while another task has the stack
  bool frames_held = false;
  bool lost = false;     // its frames could not be saved: every wait fails
  bool watched = false;  // registered in its worker's epoll set
  bool ended = false;
  uint32_t ready = 0;  // EPOLLIN/EPOLLOUT seen and not used up
  // EPOLLIN/EPOLLOUT for which a short transfer proves nothing (see
  // note_result): the last edge reported an end, an error or urgent data.
  uint32_t short_is_not_empty = 0;
  uint32_t waiting_for = 0;
  // Short reads tried once more since the task last parked (note_result).
  unsigned short_reads_retried = 0;
  steady_time deadline = no_deadline;
  bool timed_out = false;
  task* next = nullptr;  // in the worker's inbox or run queue
  task* parked_prev = nullptr;
  task* parked_next = nullptr;
  void* tsan_fiber = nullptr;
  void* fake_stack = nullptr;  // AddressSanitizer's, while switched out
};

// What the socket is ready for, decided here alone: from the edges of an
// edge-triggered epoll set, and from what each call on the socket returned.
void note_edge(task& t, uint32_t epoll_events);
void note_result(task& t, uint32_t events, ssize_t n, size_t len);
inline bool ready_for(const task& t, uint32_t events) { return (t.ready & events) != 0; }
// How many short reads a turn tries once more before it trusts one.
inline constexpr unsigned short_reads_retried_per_turn = 4;

// The task running on this thread, or null off a task: read on every call a
// handler makes, so inline.
inline thread_local task* running_task = nullptr;

class scheduler {
 public:
  // The task running on this thread, or null off a task.
  static task* running() { return running_task; }

  // First thing on the task's own stack.
  virtual void entered(task& t) = 0;
  // Parks `t` until its socket is ready for `events` or `deadline` passes;
  // false, with errno ETIMEDOUT at the deadline (or when the server stops)
  // or ENOMEM when the task has lost its frames.
  virtual bool wait(task& t, uint32_t events, steady_time deadline) = 0;
  // Whether `t` may make one blocking call now (see worker::may_block); if
  // so, done_blocking() follows it.
  virtual bool may_block(task& t) = 0;
  virtual void done_blocking(task& t) = 0;
  virtual void moved(task& t, task_state to) = 0;
  // The task is over: its stack is left for good.
  [[noreturn]] virtual void end(task& t) = 0;

 protected:
  ~scheduler() = default;
  static void set_running(task* t) { running_task = t; }
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SCHEDULER_H
