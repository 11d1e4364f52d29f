// Who may hold a session: the connection limit, each source's share of it,
// and overload protection, which ends idle sessions when clients wait for a
// slot. It decides and keeps the books; the server counts and logs.
//
// Thread-safe: the accept loop admits, each session's worker claims its
// source (behind a balancer) and releases its slot, the stop sequence waits.
#ifndef CAPECHO_SERVER_ADMISSION_H
#define CAPECHO_SERVER_ADMISSION_H

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "address.h"
#include "overload.h"

namespace capecho {

struct admission_limits {
  unsigned connections = 0;
  unsigned per_source = 0;  // 0: no limit
};

enum class admit_result {
  admitted,
  source_full,  // the source holds its share already
  no_memory,    // the books could not grow: nothing was taken
};

// Whether the server ended a session itself, and why.
enum class host_ending : unsigned char { none, overload, stop };

class admission {
 public:
  explicit admission(admission_limits limits) : limits_(limits) {}
  admission(const admission&) = delete;
  admission& operator=(const admission&) = delete;

  // Takes a slot for the connection on `fd`, and a share of its source's
  // unless that is not known yet (nullptr): behind a balancer, the source is
  // known only once the header has named it, and claim_source takes it then.
  admit_result admit(int fd, const endpoint* source);
  admit_result claim_source(int fd, const endpoint& source);

  // Gives back the slot and the source's share, and wakes the waiters.
  void release(int fd);

  bool has_room() const;
  size_t sessions() const;
  unsigned peak() const;

  // Waits up to `most` for a free slot, or until `give_up()` holds (it is
  // checked with the lock held, so wake_waiters() after changing what it
  // reads is never missed). True when a slot is free.
  template <class Stop>
  bool wait_for_room(std::chrono::milliseconds most, Stop give_up);

  // Waits until no session is left, `deadline` passes or `give_up()` holds.
  template <class Stop>
  void wait_until_empty(std::chrono::steady_clock::time_point deadline, Stop give_up);

  void wake_waiters();

  // Overload protection: ends (shuts down) up to `waiting` sessions idle
  // for at least `min_idle_ms`, less those already being ended, which make
  // room too. Returns how many it ended.
  size_t end_idle_sessions(size_t waiting, unsigned min_idle_ms);

  // Shuts every session down; returns how many there were.
  size_t end_all();

  // Whether overload protection or the stop shut the session on `fd` down.
  host_ending ending(int fd) const;

 private:
  struct entry {
    source_key source;
    bool source_known = false;  // behind a balancer, not until its header
    std::chrono::steady_clock::time_point admitted;
    host_ending ending = host_ending::none;  // shut down here: its worker will release it
  };

  // With the lock held. A refusal allocates nothing: only a source's first
  // session adds to the books.
  bool take_share(const source_key& source);
  void give_back_share(const source_key& source);

  const admission_limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;          // a slot was released, or waiters were woken
  std::unordered_map<int, entry> sessions_;  // by descriptor
  std::unordered_map<source_key, unsigned, source_key_hash> per_source_;
  unsigned peak_ = 0;
  std::vector<room_candidate> candidates_;
};

template <class Stop>
bool admission::wait_for_room(std::chrono::milliseconds most, Stop give_up) {
  std::unique_lock lock(mutex_);
  if (most.count() > 0)
    changed_.wait_for(lock, most,
                      [&] { return give_up() || sessions_.size() < limits_.connections; });
  return sessions_.size() < limits_.connections;
}

template <class Stop>
void admission::wait_until_empty(std::chrono::steady_clock::time_point deadline, Stop give_up) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return sessions_.empty() || give_up(); });
}

}  // namespace capecho

#endif  // CAPECHO_SERVER_ADMISSION_H
