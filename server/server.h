// The accepting side of the host: listeners, the accept loop, what a
// session asks of its host, and the stop sequence. Who may hold a session is
// admission's (admission.h); running sessions is the workers' (worker.h). It
// knows nothing of the protocol: the handler is given to it.
#ifndef CAPECHO_SERVER_SERVER_H
#define CAPECHO_SERVER_SERVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "admission.h"
#include "events.h"
#include "listeners.h"
#include "log.h"
#include "metrics.h"
#include "options.h"
#include "proxy_reader.h"
#include "session.h"
#include "unique_fd.h"
#include "worker_set.h"

namespace capecho {

using session_handler = void (*)(int fd);

class server final : private session_host {
 public:
  // `wake` is an eventfd that interrupts the accept loop's poll. Sessions
  // run on the worker threads (see worker.h); the handler's calls park a
  // session when it is linked against the host's copy of the library.
  server(const server_options& options, session_handler handler, std::vector<listener> listeners,
         unique_fd wake);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Starts the worker threads; false, with the failed call, when any could
  // not start (those are tried again while the server runs). Logged at
  // most once a second.
  bool start_workers(failure& why);

  // Accepts until stop is asked for, then drains and ends the sessions.
  void run();

  // The first call stops accepting and lets running sessions finish within
  // the grace; a later one, or stop_now, ends them at once.
  void request_stop();
  void request_stop_now();

  server_status status() const;

  // For the metrics endpoint, from any thread.
  const server_counters& counters() const { return counters_; }
  server_gauges gauges() const;

  // Calls `beat` from the accept loop at least every `interval`, so that a
  // loop that is stuck stops beating. Set before run().
  void set_heartbeat(std::chrono::milliseconds interval, std::function<void()> beat);
  // From any thread, as often as asked: no worker is stuck for longer than
  // `period` (worker::responsive).
  bool workers_responsive(std::chrono::steady_clock::duration period) {
    return workers_.responsive(period);
  }
  // From any thread: the accept loop runs and no stop has been asked for,
  // so new clients are welcome (a drain turns this false first).
  bool ready() const {
    return accepting_.load(std::memory_order_acquire) &&
           stop_requests_.load(std::memory_order_acquire) == 0;
  }

 private:
  bool wait_for_free_slot();
  bool has_free_slot() const;
  void make_room();
  size_t waiting_clients() const;
  bool ensure_workers();
  void accept_burst(const listener& l);
  bool accept_from(const listener& l);
  bool trusted_peer(const endpoint& peer);
  bool admitted(admit_result result, const endpoint& source);
  void lost_for_memory();
  void count_proxy_failure(proxy_read_status status);

  // What a session asks of its server (see session.h).
  bool requires_header() const override { return options_.proxy_protocol; }
  bool take_header(session& s) override;
  void serve(session& s) override;
  void release(session& s) override;

  void back_off();
  void take_wake_up();
  void drain_and_end_sessions();
  void wait_for_sessions_to_end();
  void close_listeners();
  void add_stop_requests(unsigned n);
  void beat_if_due();
  int poll_timeout_ms() const;
  bool stop_due() const;
  bool stop_now() const;

  const server_options options_;
  const session_handler handler_;
  std::vector<listener> listeners_;
  unique_fd wake_;

  admission admission_;

  // Stop requests come from any thread; the first one sets drain_until_
  // before it publishes the count, and only it writes there.
  std::mutex stop_mutex_;
  std::atomic<unsigned> stop_requests_{0};
  std::chrono::steady_clock::time_point drain_until_{};  // listeners stay open until then
  std::atomic<bool> draining_{false};                    // health checks are turned away
  std::atomic<bool> accepting_{false};                   // run() is in its accept loop
  server_counters counters_;
  const std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();

  // The accept loop's own.
  std::chrono::steady_clock::time_point next_worker_retry_{};
  unsigned long long overload_unlogged_ = 0;
  std::chrono::milliseconds heartbeat_interval_{0};
  std::function<void()> heartbeat_;
  std::chrono::steady_clock::time_point next_beat_{};

  rate_limit limit_note_;
  rate_limit accept_errors_;
  rate_limit poll_errors_;
  rate_limit thread_errors_;
  rate_limit memory_errors_;
  rate_limit source_refusals_;
  rate_limit overload_note_;
  rate_limit untrusted_note_;
  rate_limit proxy_failures_;
  worker_set workers_;  // last: destroyed first, joining threads that use the rest
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SERVER_H
