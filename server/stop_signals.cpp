#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include "log.h"

namespace capecho {
namespace {

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void block_stop_signals() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

stop_signal_watcher::stop_signal_watcher(std::function<void()> on_signal)
    : on_signal_(std::move(on_signal)), thread_([this] { watch(); }) {}

// The watcher is woken with a signal of its own set and sees done_.
stop_signal_watcher::~stop_signal_watcher() {
  done_ = true;
  // SIGTERM is blocked everywhere and taken only by sigwait: this wakes the
  // watcher, it does not terminate anything.
  // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread,cert-pos44-c)
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void stop_signal_watcher::watch() {
  const sigset_t set = stop_set();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0 || done_) return;
    log_note("%s received", sig == SIGINT ? "SIGINT" : "SIGTERM");
    on_signal_();
  }
}

}  // namespace capecho
