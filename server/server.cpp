#include "server.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

#include "session_end.h"
#include "session_socket.h"

#ifndef CAPECHO_VERSION
#define CAPECHO_VERSION "unknown"
#endif

namespace capecho {
namespace {

// Long enough that a full descriptor table is not hammered, short enough
// that serving resumes soon after descriptors free up.
constexpr auto back_off_time = std::chrono::milliseconds(100);

// How often, at the limit, the host looks whether clients wait and which
// sessions could make room for them.
constexpr auto room_scan_interval = std::chrono::milliseconds(200);

// Connections taken from one listener per wake-up of the accept loop.
constexpr int accepts_per_wake = 64;

// Errors that concern one pending connection only, or none at all.
bool transient_accept_error(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

}  // namespace

server::server(const server_options& options, session_handler handler,
               std::vector<listener> listeners, unique_fd wake)
    : options_(options),
      handler_(handler),
      listeners_(std::move(listeners)),
      wake_(std::move(wake)),
      admission_({options.max_connections, options.max_per_source}),
      workers_(options.workers != 0 ? options.workers : default_worker_count(), usable_cores()) {}

server::~server() { close_listeners(); }

bool server::start_workers(failure& why) {
  if (workers_.start_missing(why)) return true;
  counters_.count(counters_.thread_failures);
  unsigned suppressed = 0;
  if (thread_errors_.allow(suppressed)) log_no_worker(why.call, why.err, suppressed);
  return false;
}

void server::run() {
  std::vector<pollfd> watched;
  for (const listener& l : listeners_) watched.push_back({l.fd.get(), POLLIN, 0});
  watched.push_back({wake_.get(), POLLIN, 0});
  accepting_.store(true, std::memory_order_release);
  for (;;) {
    try {
      beat_if_due();
      if (!wait_for_free_slot()) break;
      // A worker first, so that a client is never accepted with none to serve it.
      if (!ensure_workers()) {
        back_off();
        continue;
      }
      if (poll(watched.data(), watched.size(), poll_timeout_ms()) < 0) {
        if (errno != EINTR) {
          const int err = errno;
          unsigned suppressed = 0;
          if (poll_errors_.allow(suppressed)) log_call_failed("poll", err, suppressed);
          back_off();
        }
        continue;
      }
      if (watched.back().revents != 0) take_wake_up();
      for (size_t i = 0; i < listeners_.size(); ++i)
        if (watched[i].revents != 0) accept_burst(listeners_[i]);
    } catch (const std::bad_alloc&) {
      lost_for_memory();
      back_off();
    }
  }
  accepting_.store(false, std::memory_order_release);
  close_listeners();
  drain_and_end_sessions();
  wait_for_sessions_to_end();
  workers_.stop_and_join();
}

void server::set_heartbeat(std::chrono::milliseconds interval, std::function<void()> beat) {
  heartbeat_interval_ = interval;
  heartbeat_ = std::move(beat);
}

void server::beat_if_due() {
  if (!heartbeat_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_beat_) return;
  next_beat_ = now + heartbeat_interval_;
  heartbeat_();
}

int server::poll_timeout_ms() const {
  int ms = heartbeat_ ? static_cast<int>(heartbeat_interval_.count()) : -1;
  if (draining_.load(std::memory_order_acquire)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        drain_until_ - std::chrono::steady_clock::now());
    // A drain of weeks would overflow poll's int: it wakes up sooner and waits again.
    const int drain_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    ms = ms < 0 ? drain_ms : std::min(ms, drain_ms);
  }
  return ms;
}

// A first stop request leaves the listeners open for the drain delay, so a
// balancer has time to see its health checks fail and move new clients
// elsewhere before connecting here is refused.
bool server::stop_due() const {
  const unsigned requests = stop_requests_.load(std::memory_order_acquire);
  if (requests == 0) return false;
  return requests > 1 || std::chrono::steady_clock::now() >= drain_until_;
}

bool server::stop_now() const { return stop_requests_.load(std::memory_order_acquire) > 1; }

void server::request_stop() { add_stop_requests(1); }

void server::request_stop_now() { add_stop_requests(2); }

void server::add_stop_requests(unsigned n) {
  bool drain = false;
  {
    std::lock_guard lock(stop_mutex_);
    drain =
        stop_requests_.load(std::memory_order_relaxed) == 0 && n == 1 && options_.drain_delay > 0;
    if (drain) {
      drain_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(options_.drain_delay);
      draining_.store(true, std::memory_order_release);
    }
    stop_requests_.fetch_add(n, std::memory_order_release);
  }
  if (drain) log_draining(options_.drain_delay);
  admission_.wake_waiters();
  const uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is already non-zero: the loop is woken all the same.
  }
}

server_status server::status() const {
  server_status s;
  s.sessions = admission_.sessions();
  s.peak = admission_.peak();
  s.served = counters_.accepted;
  s.limit_hits = counters_.limit_reached;
  s.limit = options_.max_connections;
  s.overload_ended = counters_.ended_by_overload;
  s.log_dropped = log_lines_dropped();
  return s;
}

server_gauges server::gauges() const {
  server_gauges g;
  g.sessions = g.workers_busy = admission_.sessions();
  g.sessions_parked = workers_.parked();
  g.sessions_solo = workers_.solo();
  g.by_state.reading_header = workers_.in_state(task_state::reading_header);
  g.by_state.serving = workers_.in_state(task_state::serving);
  g.by_state.parked = workers_.in_state(task_state::parked);
  g.by_state.ending = workers_.in_state(task_state::ending);
  g.workers_busy =
      std::min(g.workers_busy - std::min(g.workers_busy, g.sessions_parked), workers_.started());
  g.limit = options_.max_connections;
  g.workers_parked = workers_.started() - g.workers_busy;
  g.log_lines_dropped = log_lines_dropped();
  g.start_time_seconds = std::chrono::duration<double>(started_.time_since_epoch()).count();
  g.version = CAPECHO_VERSION;
  return g;
}

// At the limit the server stops accepting, so new clients wait in the
// kernel's backlog instead of being refused, and makes room for them when
// idle sessions hold every slot. False once a stop is asked for.
bool server::wait_for_free_slot() {
  bool at_limit = false;
  for (;;) {
    const auto wait = at_limit ? (heartbeat_ ? std::min<std::chrono::milliseconds>(
                                                   room_scan_interval, heartbeat_interval_)
                                             : room_scan_interval)
                               : std::chrono::milliseconds(0);
    const bool room = admission_.wait_for_room(wait, [this] { return stop_due(); });
    if (stop_due()) return false;
    if (room) return true;
    if (!at_limit) {
      counters_.count(counters_.limit_reached);
      unsigned suppressed = 0;  // at a busy limit this would otherwise be a line per session
      if (limit_note_.allow(suppressed)) log_connection_limit(options_.max_connections, suppressed);
      at_limit = true;
    }
    make_room();
    beat_if_due();
  }
}

bool server::has_free_slot() const { return !stop_due() && admission_.has_room(); }

void server::make_room() {
  if (options_.overload_idle_ms != 0) {
    const size_t waiting = waiting_clients();
    const size_t ended =
        waiting > 0 ? admission_.end_idle_sessions(waiting, options_.overload_idle_ms) : 0;
    counters_.count(counters_.ended_by_overload, ended);
    overload_unlogged_ += ended;
  }
  unsigned suppressed = 0;
  if (overload_unlogged_ > 0 && overload_note_.allow(suppressed))
    log_overload_ended(std::exchange(overload_unlogged_, 0), counters_.ended_by_overload);
}

size_t server::waiting_clients() const {
  size_t waiting = 0;
  for (const listener& l : listeners_) waiting += pending_connections(l.fd.get());
  return waiting;
}

// Workers that could not start are tried again now and then; with none
// running, clients wait in the backlog.
bool server::ensure_workers() {
  if (workers_.started() == workers_.size()) return true;
  const auto now = std::chrono::steady_clock::now();
  if (workers_.started() > 0 && now < next_worker_retry_) return true;
  next_worker_retry_ = now + back_off_time;
  failure why;
  return start_workers(why) || workers_.started() > 0;
}

// Listeners do not block: a burst of clients is taken in one go, up to a
// bound that keeps the loop's other duties (stop, heartbeat) timely.
void server::accept_burst(const listener& l) {
  for (int i = 0; i < accepts_per_wake && has_free_slot(); ++i)
    if (!accept_from(l)) return;
}

// False when nothing more is waiting, or accepting failed.
bool server::accept_from(const listener& l) {
  endpoint peer;
  peer.length = sizeof peer.storage;
  unique_fd conn(accept4(l.fd.get(), peer.addr(), &peer.length, SOCK_CLOEXEC));
  if (!conn.valid()) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return false;
    if (transient_accept_error(err)) return true;
    counters_.count(counters_.accept_errors);
    unsigned suppressed = 0;
    if (accept_errors_.allow(suppressed)) log_accept_failed(l.name, err, suppressed);
    back_off();
    return false;
  }
  const int fd = conn.get();
  failure why;
  if (l.per_connection && !prepare_session_socket(fd, *l.per_connection, why)) {
    counters_.count(counters_.accept_errors);
    unsigned suppressed = 0;
    if (accept_errors_.allow(suppressed)) log_call_failed(why.call, why.err, suppressed);
    return true;
  }
  if (!trusted_peer(peer)) return true;
  // Behind a balancer the source is known only once the session has read
  // the header, so its share is claimed there.
  const admit_result result = admission_.admit(fd, options_.proxy_protocol ? nullptr : &peer);
  if (!admitted(result, peer)) {
    if (result == admit_result::no_memory) back_off();
    return result != admit_result::no_memory;
  }
  counters_.count(counters_.accepted);
  // A session that cannot be made leaves conn owning the descriptor.
  auto* s = new (std::nothrow) session(*this, std::move(conn), peer);
  if (s != nullptr && workers_.post(s)) return true;
  // No memory for it, or no worker took it: this connection alone is lost.
  // Released before it is closed, so its number cannot be reused meanwhile.
  admission_.release(fd);
  delete s;
  lost_for_memory();
  back_off();
  return false;
}

// Counts and logs a refusal; false for one. From the accept loop or, behind
// a balancer, from the session's worker.
bool server::admitted(admit_result result, const endpoint& source) {
  switch (result) {
    case admit_result::admitted:
      return true;
    case admit_result::source_full: {
      counters_.count(counters_.refused_per_source);
      unsigned suppressed = 0;
      if (source_refusals_.allow(suppressed))
        log_source_refused(name_of(source).text, options_.max_per_source, suppressed);
      return false;
    }
    case admit_result::no_memory:
      lost_for_memory();
      return false;
  }
  return false;
}

void server::lost_for_memory() {
  counters_.count(counters_.memory_failures);
  unsigned suppressed = 0;
  if (memory_errors_.allow(suppressed)) log_out_of_memory(suppressed);
}

// Behind a balancer, only the balancers may connect: anyone else could
// send a header claiming any address.
bool server::trusted_peer(const endpoint& peer) {
  if (!options_.proxy_protocol || in_any_range(options_.trusted_proxies, peer)) return true;
  counters_.count(counters_.untrusted_proxy);
  unsigned suppressed = 0;
  if (untrusted_note_.allow(suppressed)) log_untrusted_proxy(name_of(peer).text, suppressed);
  return false;
}

// On the session's worker, so a slow header holds up no one else: it parks
// like any other wait.
bool server::take_header(session& s) {
  session_origin& origin = s.origin();
  proxy_header header;
  failure why;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options_.proxy_timeout);
  const proxy_read_status status = read_proxy_header(s.fd(), deadline, header, why);
  if (status != proxy_read_status::ok) {
    count_proxy_failure(status);
    unsigned suppressed = 0;
    // A peer that closes before sending anything is usually a port probe: counted only.
    if (status != proxy_read_status::closed && proxy_failures_.allow(suppressed)) {
      if (status == proxy_read_status::timed_out)
        log_proxy_header_late(name_of(s.peer()).text, options_.proxy_timeout, suppressed);
      else
        log_proxy_header_failed(name_of(s.peer()).text, why, suppressed);
    }
    return false;
  }
  origin.header_bytes = header.length;
  origin.health_check = !header.proxied;
  if (origin.health_check && draining_.load(std::memory_order_relaxed)) {
    counters_.count(counters_.health_checks_failed);
    return false;  // closed unanswered: the balancer takes this server out of rotation
  }
  if (header.has_addresses) {
    origin.client = header.source;
    origin.proxied = true;
  }
  if (origin.health_check) return true;
  return admitted(admission_.claim_source(s.fd(), origin.client), origin.client);
}

void server::count_proxy_failure(proxy_read_status status) {
  switch (status) {
    case proxy_read_status::invalid:
      counters_.count(counters_.proxy_malformed);
      break;
    case proxy_read_status::timed_out:
      counters_.count(counters_.proxy_timeout);
      break;
    case proxy_read_status::closed:
      counters_.count(counters_.proxy_closed);
      break;
    case proxy_read_status::no_memory:
      counters_.count(counters_.memory_failures);
      break;
    case proxy_read_status::ok:
      break;
  }
}

// A balancer's health checks are served like any session but neither logged
// nor counted as one: they would drown what the clients do.
void server::serve(session& s) {
  const int fd = s.fd();
  const session_origin& origin = s.origin();
  const auto start = std::chrono::steady_clock::now();
  handler_(fd);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (origin.health_check) {
    counters_.count(counters_.health_checks);
    return;
  }
  const bool lines = session_lines_wanted();
  if (!options_.metrics && !lines) return;
  session_summary summary;
  summary.seconds = took.count();
  summary.why = why_ended(s.last_call(), admission_.ending(fd));
  const bool orderly = summary.why != end_reason::client_reset && summary.why != end_reason::error;
  summary.counted = transfer_totals(fd, summary.received, summary.sent, orderly);  // none off TCP
  summary.received -= std::min<uint64_t>(summary.received, origin.header_bytes);
  if (options_.metrics)
    counters_.session_ended(summary.seconds, summary.received, summary.sent, summary.why);
  if (!lines) return;
  const endpoint_name client = name_of(origin.client);
  const endpoint_name via = name_of(s.peer());
  summary.peer = client.text;
  if (origin.proxied) summary.via = via.text;
  log_session(summary);
}

// Unregistered before it is closed, so no shutdown from the accept loop or
// the stop sequence can reach a descriptor number that has been reused.
void server::release(session& s) { admission_.release(s.fd()); }

// Resets the wake-up counter, so a drain does not spin on it.
void server::take_wake_up() {
  uint64_t count = 0;
  if (read(wake_.get(), &count, sizeof count) < 0) {
    // EAGAIN: another read took it first; nothing else can fail on an eventfd.
  }
}

void server::back_off() {
  pollfd wake{wake_.get(), POLLIN, 0};
  (void)poll(&wake, 1, static_cast<int>(back_off_time.count()));  // woken early by a stop
}

void server::drain_and_end_sessions() {
  const size_t running = admission_.sessions();
  if (running > 0 && !stop_now()) {
    log_stopping(options_.shutdown_grace, running);
    admission_.wait_until_empty(
        std::chrono::steady_clock::now() + std::chrono::seconds(options_.shutdown_grace),
        [this] { return stop_now(); });
  }
  const size_t ended = admission_.end_all();
  counters_.count(counters_.ended_by_stop, ended);
  if (ended > 0) log_ending_sessions(ended);
}

// Sessions ended by the stop wake on the shutdown and finish on their
// workers; the workers are stopped once they have, or after a few seconds.
void server::wait_for_sessions_to_end() {
  admission_.wait_until_empty(std::chrono::steady_clock::now() + std::chrono::seconds(5),
                              [] { return false; });
}

void server::close_listeners() {
  for (listener& l : listeners_) l.fd.reset();
}

}  // namespace capecho
