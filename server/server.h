// The accepting side of the host: listeners, limits, overload protection,
// sessions and the stop sequence. It knows nothing of the protocol; the
// handler is given to it.
#ifndef CAPECHO_SERVER_SERVER_H
#define CAPECHO_SERVER_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "events.h"
#include "listeners.h"
#include "log.h"
#include "metrics.h"
#include "options.h"
#include "overload.h"
#include "parking.h"
#include "proxy_reader.h"
#include "unique_fd.h"
#include "worker_pool.h"

namespace capecho {

using session_handler = void (*)(int fd);

class server {
 public:
  // `wake` is an eventfd that interrupts the accept loop's poll.
  // With `parks_when_idle` sessions run on fibers and park while their
  // client is quiet (see host.h); call start_parking() before run().
  server(const server_options& options, session_handler handler, std::vector<listener> listeners,
         unique_fd wake, bool parks_when_idle = false);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Starts the thread that watches parked sessions; false with the reason.
  bool start_parking(std::string& error);

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

 private:
  struct session_entry {
    std::string source;  // "" until known: behind a balancer, its PROXY header names it
    std::chrono::steady_clock::time_point admitted;
    bool ending = false;  // shut down by the host; its worker will unregister it
  };

  bool wait_for_free_slot();
  bool has_free_slot();
  void make_room();
  size_t waiting_clients() const;
  size_t choose_and_end_idle_sessions(size_t waiting);
  bool ensure_worker();
  void accept_from(const listener& l);
  // Who a session serves: the peer, or the client a balancer's header names.
  struct session_origin {
    endpoint client;
    endpoint balancer;
    bool proxied = false;       // client came from a PROXY header
    bool health_check = false;  // the balancer's own connection (v2 LOCAL)
    size_t header_bytes = 0;
  };

  bool trusted_peer(const session_job& job);
  bool admit(const session_job& job);
  bool claim_source_slot(int fd, const endpoint& client);
  bool take_source_slot(const std::string& key);       // with the lock held
  void give_back_source_slot(const std::string& key);  // with the lock held
  void refuse_for_source(const endpoint& client);
  void serve(const session_job& job);
  void serve_on_fiber(const session_job& job);
  static void fiber_main(void* arg);
  void resume(fiber* f);
  void wait_for_parked_sessions();
  void serve_session(const session_job& job);
  bool take_proxy_header(int fd, session_origin& origin);
  void count_proxy_failure(proxy_read_status status);
  void run_session(int fd, const session_origin& origin);
  void end_session(int fd);
  void back_off();
  void take_wake_up();
  void drain_and_end_sessions();
  void close_listeners();
  void add_stop_requests(unsigned n);
  void beat_if_due();
  int poll_timeout_ms() const;
  bool stop_due() const;

  const server_options options_;
  const session_handler handler_;
  std::vector<listener> listeners_;
  unique_fd wake_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;                  // a session ended, or a stop was asked for
  std::unordered_map<int, session_entry> sessions_;  // by descriptor
  std::unordered_map<std::string, unsigned> per_source_;
  unsigned stop_requests_ = 0;
  std::chrono::steady_clock::time_point drain_until_{};  // listeners stay open until then
  std::atomic<bool> draining_{false};                    // health checks are turned away
  unsigned peak_ = 0;
  server_counters counters_;
  const std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();

  // The accept loop's own.
  worker_pool::worker* reserved_ = nullptr;
  std::vector<room_candidate> candidates_;
  unsigned long long overload_unlogged_ = 0;
  std::chrono::milliseconds heartbeat_interval_{0};
  std::function<void()> heartbeat_;
  std::chrono::steady_clock::time_point next_beat_{};

  rate_limit limit_note_;
  rate_limit accept_errors_;
  rate_limit thread_errors_;
  rate_limit memory_errors_;
  rate_limit source_refusals_;
  rate_limit overload_note_;
  rate_limit untrusted_note_;
  rate_limit proxy_failures_;
  const bool parks_;
  rate_limit fiber_errors_;
  parking_lot parking_;
  worker_pool pool_;  // last: destroyed first, joining threads that use the rest
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_SERVER_H
