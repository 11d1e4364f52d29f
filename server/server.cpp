#include "server.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "session_socket.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CAPECHO_INSTRUMENTED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CAPECHO_INSTRUMENTED 1
#endif

namespace capecho {
namespace {

#ifdef CAPECHO_INSTRUMENTED
constexpr size_t worker_stack_bytes = size_t{1024} * 1024;  // sanitizers multiply stack use
#else
constexpr size_t worker_stack_bytes = size_t{64} * 1024;  // a session needs a few KiB
#endif

// Long enough that a full descriptor table is not hammered, short enough
// that serving resumes soon after descriptors free up.
constexpr auto back_off_time = std::chrono::milliseconds(100);

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

std::string held_back(unsigned suppressed) {
  return suppressed ? " (" + std::to_string(suppressed) + " more like it)" : "";
}

}  // namespace

server::server(const server_options& options, session_handler handler,
               std::vector<listener> listeners)
    : options_(options),
      handler_(handler),
      listeners_(std::move(listeners)),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      pool_(options.thread_cache, worker_stack_bytes,
            [this](const session_job& job) { serve(job); }) {}

server::~server() {
  close_listeners();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void server::run() {
  std::vector<pollfd> watched;
  for (const listener& l : listeners_) watched.push_back({l.fd, POLLIN, 0});
  watched.push_back({wake_fd_, POLLIN, 0});
  while (wait_for_free_slot()) {
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno != EINTR) {
        log_error("poll: %s", error_text(errno).c_str());
        back_off();
      }
      continue;
    }
    for (size_t i = 0; i < listeners_.size(); ++i)
      if (watched[i].revents != 0) accept_from(listeners_[i]);
  }
  close_listeners();
  drain_and_end_sessions();
  pool_.stop_and_join();
}

void server::request_stop() {
  {
    std::lock_guard lock(mutex_);
    ++stop_requests_;
  }
  changed_.notify_all();
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the loop is woken all the same.
  }
}

// At the limit the server stops accepting, so new clients wait in the
// kernel's backlog instead of being refused. False once a stop is asked for.
bool server::wait_for_free_slot() {
  std::unique_lock lock(mutex_);
  if (stop_requests_ == 0 && sessions_.size() >= options_.max_connections) {
    unsigned suppressed = 0;  // at a busy limit this would otherwise be a line per session
    if (limit_hits_.allow(suppressed))
      log_note("connection limit of %u reached; not accepting until a session ends%s",
               options_.max_connections, held_back(suppressed).c_str());
    changed_.wait(
        lock, [this] { return sessions_.size() < options_.max_connections || stop_requests_ > 0; });
  }
  return stop_requests_ == 0;
}

void server::accept_from(const listener& l) {
  session_job job;
  job.peer.length = sizeof job.peer.storage;
  job.fd = accept4(l.fd, job.peer.addr(), &job.peer.length, SOCK_CLOEXEC);
  if (job.fd < 0) {
    const int err = errno;
    if (transient_accept_error(err)) return;
    unsigned suppressed = 0;
    if (accept_errors_.allow(suppressed))
      log_error("accept on %s: %s; retrying%s", l.name.c_str(), error_text(err).c_str(),
                held_back(suppressed).c_str());
    back_off();
    return;
  }
  if (!admit(job)) {
    close(job.fd);
    return;
  }
  if (!pool_.dispatch(job)) {
    unsigned suppressed = 0;
    if (thread_errors_.allow(suppressed))
      log_error("cannot start a thread for %s; connection closed%s",
                format_endpoint(job.peer).c_str(), held_back(suppressed).c_str());
    end_session(job);
  }
}

bool server::admit(const session_job& job) {
  std::string key = source_key(job.peer);
  std::unique_lock lock(mutex_);
  source_count& from = per_source_[key];
  if (options_.max_per_source != 0 && from.sessions >= options_.max_per_source) {
    lock.unlock();
    unsigned suppressed = 0;
    if (source_refusals_.allow(suppressed))
      log_note("%s has %u sessions already; connection closed%s", format_endpoint(job.peer).c_str(),
               options_.max_per_source, held_back(suppressed).c_str());
    return false;
  }
  ++from.sessions;
  sessions_.emplace(job.fd, std::move(key));
  ++served_;
  if (sessions_.size() > peak_) peak_ = static_cast<unsigned>(sessions_.size());
  return true;
}

void server::serve(const session_job& job) {
  prepare_session_socket(job.fd, options_.idle_timeout);
  const auto start = std::chrono::steady_clock::now();
  handler_(job.fd);
  if (logging_verbose()) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    log_detail("session %s %.3fs %s", format_endpoint(job.peer).c_str(), took.count(),
               transfer_counts(job.fd).c_str());
  }
  end_session(job);
}

// Unregistered before it is closed, so the stop sequence never shuts down
// a descriptor number that has been reused.
void server::end_session(const session_job& job) {
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(job.fd);
    if (it != sessions_.end()) {
      auto from = per_source_.find(it->second);
      if (from != per_source_.end() && --from->second.sessions == 0) per_source_.erase(from);
      sessions_.erase(it);
    }
  }
  changed_.notify_all();
  close(job.fd);
}

void server::back_off() {
  pollfd wake{wake_fd_, POLLIN, 0};
  poll(&wake, 1, static_cast<int>(back_off_time.count()));
}

void server::drain_and_end_sessions() {
  std::unique_lock lock(mutex_);
  if (!sessions_.empty() && stop_requests_ < 2) {
    log_note("stopping: waiting up to %us for %zu sessions to finish", options_.shutdown_grace,
             sessions_.size());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options_.shutdown_grace);
    changed_.wait_until(lock, deadline, [this] { return sessions_.empty() || stop_requests_ > 1; });
  }
  if (!sessions_.empty()) {
    log_note("ending %zu sessions", sessions_.size());
    for (const auto& session : sessions_) shutdown(session.first, SHUT_RDWR);
  }
}

void server::close_listeners() {
  for (listener& l : listeners_) {
    if (l.fd >= 0) close(l.fd);
    l.fd = -1;
  }
}

}  // namespace capecho
