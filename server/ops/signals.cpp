#include "signals.h"

#include <pthread.h>
#include <signal.h>

namespace capecho {
namespace {

constexpr int handled_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2};

sigset_t handled_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : handled_signals) sigaddset(&set, sig);
  return set;
}

}  // namespace

signal_action action_for(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      return signal_action::stop;
    case SIGQUIT:
      return signal_action::stop_now;
    case SIGUSR1:
      return signal_action::status;
    default:  // SIGHUP, SIGUSR2
      return signal_action::ignore;
  }
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGHUP:
      return "SIGHUP";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGUSR2:
      return "SIGUSR2";
    default:
      return "a signal";
  }
}

bool block_handled_signals(failure& why) {
  const sigset_t set = handled_set();
  const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) why = {"pthread_sigmask", rc};
  return rc == 0;
}

signal_watcher::signal_watcher(std::function<void(int)> on_signal)
    : on_signal_(std::move(on_signal)) {}

bool signal_watcher::start(failure& why) {
  return thread_.start<signal_watcher, &signal_watcher::watch>(this, 0, why);
}

// The watcher is woken with a signal of its own set and sees done_.
signal_watcher::~signal_watcher() {
  if (!thread_.running()) return;
  done_ = true;
  // SIGTERM is blocked everywhere and taken only by sigwait: this wakes the
  // watcher, it does not terminate anything.
  // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread,cert-pos44-c)
  pthread_kill(thread_.handle(), SIGTERM);
  thread_.join();
}

void signal_watcher::watch() {
  const sigset_t set = handled_set();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0 || done_) return;
    on_signal_(sig);
  }
}

}  // namespace capecho
