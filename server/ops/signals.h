// The signals the server acts on, taken by a thread of its own with sigwait,
// so no work ever runs in a signal handler.
#ifndef CAPECHO_SERVER_SIGNALS_H
#define CAPECHO_SERVER_SIGNALS_H

#include <atomic>
#include <functional>
#include <pthread.h>

#include "failure.h"
#include "owned_thread.h"

namespace capecho {

enum class signal_action {
  stop,      // drain: stop accepting, let sessions finish within the grace
  stop_now,  // end every session at once
  status,    // log one status line
  ignore,    // log it, do nothing: there is no configuration to reload
};

// The one place that says what each handled signal does.
signal_action action_for(int sig);

// "SIGTERM", "SIGHUP", ...
const char* signal_name(int sig);

// Blocks the handled signals in the calling thread and so in every thread it
// starts afterwards: call it before starting any. False, with the failed
// call, if the mask cannot be changed.
bool block_handled_signals(failure& why);

class signal_watcher {
 public:
  // Will call on_signal in the watcher's thread for each handled signal.
  explicit signal_watcher(std::function<void(int sig)> on_signal);
  ~signal_watcher();
  // Starts the watcher's thread; false, with the failed call, if it cannot.
  bool start(failure& why);
  signal_watcher(const signal_watcher&) = delete;
  signal_watcher& operator=(const signal_watcher&) = delete;

 private:
  void watch();

  std::function<void(int)> on_signal_;
  std::atomic<bool> done_{false};
  owned_thread thread_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SIGNALS_H
