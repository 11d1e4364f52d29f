// A session's own stack and context. A worker thread runs it until it
// finishes or suspends itself; a suspended fiber can be run again later by
// any worker, so a session that waits holds a stack, not a thread.
//
// Switches happen only when a session parks or resumes, never per chunk.
// They are announced to AddressSanitizer and ThreadSanitizer in the builds
// that use them.
#ifndef CAPECHO_SERVER_FIBER_H
#define CAPECHO_SERVER_FIBER_H

#include <stddef.h>
#include <ucontext.h>

namespace capecho {

class fiber {
 public:
  using entry_fn = void (*)(void* arg);

  // The call that failed and its errno: static text, so that reporting a
  // failure never needs memory.
  struct failure {
    const char* call = "";
    int err = 0;
  };

  // A fiber that will call entry(arg) on a stack of `stack_bytes` with a
  // guard page below it; null, with the failed call in `error`, if there is
  // no memory for it. Finished fibers are kept for reuse, up to a limit, so
  // a session usually costs no system call to get its stack.
  static fiber* create(size_t stack_bytes, entry_fn entry, void* arg, failure& error);
  static void destroy(fiber* f);

  // From a worker thread: runs the fiber until its entry returns (true) or
  // it suspends (false).
  bool run();

  // From inside the fiber: back to the worker that ran it.
  void suspend();

  // The fiber this thread is running, or null.
  static fiber* current();

  // What the fiber asked for when it suspended; the worker acts on it once
  // the switch is complete.
  void* request = nullptr;

 private:
  fiber() = default;
  static fiber* reuse(size_t stack_bytes);
  static fiber* make(size_t stack_bytes, failure& error);
  static void release(fiber* f);
  static void start(unsigned high, unsigned low);
  void switch_in();
  void switch_out(bool finished);
  void arrived_in_fiber();

  ucontext_t fresh_{};  // as getcontext left it, to start each use from
  ucontext_t context_{};
  ucontext_t caller_{};
  void* mapping_ = nullptr;
  size_t mapping_bytes_ = 0;
  void* stack_ = nullptr;
  size_t stack_bytes_ = 0;
  entry_fn entry_ = nullptr;
  void* arg_ = nullptr;
  bool finished_ = false;
  fiber* next_free_ = nullptr;
  // Sanitizer bookkeeping: the stack each side runs on.
  void* fake_stack_ = nullptr;
  const void* caller_stack_ = nullptr;
  size_t caller_stack_bytes_ = 0;
  void* tsan_fiber_ = nullptr;
  void* tsan_caller_ = nullptr;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_FIBER_H
