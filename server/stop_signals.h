// SIGINT and SIGTERM, taken by a thread of their own with sigwait, so no
// work ever runs in a signal handler.
#ifndef CAPECHO_SERVER_STOP_SIGNALS_H
#define CAPECHO_SERVER_STOP_SIGNALS_H

#include <atomic>
#include <functional>
#include <thread>

namespace capecho {

// Blocks the stop signals in the calling thread and so in every thread it
// starts afterwards: call it before starting any.
void block_stop_signals();

class stop_signal_watcher {
 public:
  // Calls on_signal in the watcher's thread for each signal that arrives.
  explicit stop_signal_watcher(std::function<void()> on_signal);
  ~stop_signal_watcher();
  stop_signal_watcher(const stop_signal_watcher&) = delete;
  stop_signal_watcher& operator=(const stop_signal_watcher&) = delete;

 private:
  void watch();

  std::function<void()> on_signal_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_STOP_SIGNALS_H
