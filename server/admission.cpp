#include "admission.h"

#include <sys/socket.h>

#include <algorithm>
#include <new>
#include <utility>

#include "session_socket.h"

namespace capecho {

admit_result admission::admit(int fd, const endpoint* source) {
  std::lock_guard lock(mutex_);
  entry e;
  e.admitted = std::chrono::steady_clock::now();
  if (source != nullptr) {
    e.source = source_key(*source);
    e.source_known = true;
  }
  try {
    if (e.source_known && !take_share(e.source)) return admit_result::source_full;
    sessions_.emplace(fd, e);
  } catch (const std::bad_alloc&) {
    if (e.source_known) give_back_share(e.source);
    return admit_result::no_memory;
  }
  peak_ = std::max(peak_, static_cast<unsigned>(sessions_.size()));
  return admit_result::admitted;
}

admit_result admission::claim_source(int fd, const endpoint& source) {
  std::lock_guard lock(mutex_);
  const source_key key(source);
  try {
    if (!take_share(key)) return admit_result::source_full;
  } catch (const std::bad_alloc&) {
    return admit_result::no_memory;
  }
  entry& e = sessions_.find(fd)->second;
  e.source = key;
  e.source_known = true;
  return admit_result::admitted;
}

bool admission::take_share(const source_key& source) {
  const auto held = per_source_.find(source);
  if (held == per_source_.end()) {
    per_source_.emplace(source, 1);
    return true;
  }
  if (limits_.per_source != 0 && held->second >= limits_.per_source) return false;
  ++held->second;
  return true;
}

void admission::give_back_share(const source_key& source) {
  const auto from = per_source_.find(source);
  if (from != per_source_.end() && --from->second == 0) per_source_.erase(from);
}

void admission::release(int fd) {
  {
    std::lock_guard lock(mutex_);
    const auto it = sessions_.find(fd);
    if (it != sessions_.end()) {
      if (it->second.source_known) give_back_share(it->second.source);
      sessions_.erase(it);
    }
  }
  changed_.notify_all();
}

bool admission::has_room() const {
  std::lock_guard lock(mutex_);
  return sessions_.size() < limits_.connections;
}

size_t admission::sessions() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

unsigned admission::peak() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

// Taking the lock orders the waker's change before the waiters' next check.
void admission::wake_waiters() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

size_t admission::end_idle_sessions(size_t waiting, unsigned min_idle_ms) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  candidates_.clear();
  size_t ending = 0;
  for (const auto& [fd, s] : sessions_) {
    if (s.ending != host_ending::none) {
      ++ending;
      continue;
    }
    unsigned idle = 0;
    if (!receive_idle_ms(fd, idle)) continue;  // no counters, no way to tell: never ended
    // The kernel counts from the handshake; a client that waited in the
    // backlog has been idle only since it was admitted.
    const auto held =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - s.admitted).count();
    idle = static_cast<unsigned>(std::min<long long>(idle, held));
    const auto from = s.source_known ? per_source_.find(s.source) : per_source_.end();
    try {
      candidates_.push_back({fd, idle, from == per_source_.end() ? 1U : from->second});
    } catch (const std::bad_alloc&) {
      break;  // chosen among fewer this time
    }
  }
  if (waiting <= ending) return 0;
  const size_t chosen = choose_sessions_to_end(candidates_, waiting - ending, min_idle_ms);
  for (size_t i = 0; i < chosen; ++i) {
    // Its worker's read or write then fails and the session ends as usual;
    // a shutdown that fails finds the connection already closing.
    (void)shutdown(candidates_[i].fd, SHUT_RDWR);
    sessions_.find(candidates_[i].fd)->second.ending = host_ending::overload;
  }
  return chosen;
}

size_t admission::end_all() {
  std::lock_guard lock(mutex_);
  for (auto& [fd, s] : sessions_) {
    (void)shutdown(fd, SHUT_RDWR);
    if (s.ending == host_ending::none) s.ending = host_ending::stop;
  }
  return sessions_.size();
}

host_ending admission::ending(int fd) const {
  std::lock_guard lock(mutex_);
  const auto it = sessions_.find(fd);
  return it != sessions_.end() ? it->second.ending : host_ending::none;
}

}  // namespace capecho
