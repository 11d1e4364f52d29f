// The accepting side of the host: listeners, limits, sessions and the stop
// sequence. It knows nothing of the protocol; the handler is given to it.
#ifndef CAPECHO_SERVER_SERVER_H
#define CAPECHO_SERVER_SERVER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "listeners.h"
#include "log.h"
#include "options.h"
#include "worker_pool.h"

namespace capecho {

using session_handler = void (*)(int fd);

class server {
 public:
  server(const server_options& options, session_handler handler, std::vector<listener> listeners);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Accepts until stop is asked for, then drains and ends the sessions.
  void run();

  // From the signal thread: the first call stops accepting and lets the
  // running sessions finish within the grace; a later one ends them now.
  void request_stop();

  unsigned long long sessions_served() const { return served_; }
  unsigned peak_sessions() const { return peak_; }

 private:
  struct source_count {
    unsigned sessions = 0;
  };

  void accept_from(const listener& l);
  bool admit(const session_job& job);
  void serve(const session_job& job);
  void end_session(const session_job& job);
  bool wait_for_free_slot();
  void back_off();
  void drain_and_end_sessions();
  void close_listeners();

  const server_options options_;
  const session_handler handler_;
  std::vector<listener> listeners_;
  int wake_fd_ = -1;  // eventfd that interrupts the accept loop's poll

  std::mutex mutex_;
  std::condition_variable changed_;                // a session ended, or a stop was asked for
  std::unordered_map<int, std::string> sessions_;  // descriptor -> source key
  std::unordered_map<std::string, source_count> per_source_;
  unsigned stop_requests_ = 0;
  unsigned long long served_ = 0;
  unsigned peak_ = 0;

  rate_limit limit_hits_;
  rate_limit accept_errors_;
  rate_limit thread_errors_;
  rate_limit source_refusals_;
  worker_pool pool_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SERVER_H
