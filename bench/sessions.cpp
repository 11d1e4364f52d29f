// Many sessions from one thread: every connection slot is a small state
// machine driven by epoll, so one process can hold ten thousand of them.
#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <thread>

#include "load.h"
#include "net.h"

namespace capecho_bench {
namespace {

const std::string greeting_bytes("Hello!!\n\0", 9);
const std::string terminator(".\r\n");

enum class phase { waiting, connecting, greeting, echo, closing, held, retired };

struct slot {
  int fd = -1;
  phase at = phase::waiting;
  unsigned sessions_left = 0;
  unsigned echoes_left = 0;
  const std::string* expected = nullptr;  // the reply being received
  size_t received = 0;
  const std::string* outgoing = nullptr;  // what is being sent
  size_t sent = 0;
  bool waiting_to_send = false;  // EPOLLOUT is being watched
  uint64_t sent_at = 0;
  std::string chunk, echo;
};

class driver {
 public:
  driver(const target& t, const session_plan& plan) : target_(t), plan_(plan) {
    slots_.resize(plan.connections);
    for (size_t i = 0; i < slots_.size(); ++i) {
      slot& s = slots_[i];
      s.sessions_left = plan.sessions;
      s.chunk = test_chunk(plan.chunk, static_cast<unsigned>(i));
      s.echo = plan.upper_cased ? upper_ascii(s.chunk) : s.chunk;
      to_connect_.push_back(i);
    }
    result_.latencies.reserve(static_cast<size_t>(plan.connections) * plan.echoes * plan.sessions);
  }
  ~driver() {
    for (slot& s : slots_)
      if (s.fd >= 0) close(s.fd);
    if (epoll_ >= 0) close(epoll_);
  }
  driver(const driver&) = delete;
  driver& operator=(const driver&) = delete;

  run_result run(void (*while_held)(void*), void* context) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    start_ = now_ns();
    const uint64_t deadline = start_ + static_cast<uint64_t>(plan_.max_seconds * 1e9);
    std::vector<epoll_event> events(1024);
    start_connects();
    while (active_ > 0 || !to_connect_.empty()) {
      if (plan_.hold && held_ == active_ && to_connect_.empty()) break;
      if (now_ns() > deadline) {
        result_.errors += active_ + to_connect_.size();
        break;
      }
      const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 100);
      for (int i = 0; i < n; ++i)
        handle(slots_[events[static_cast<size_t>(i)].data.u64],
               events[static_cast<size_t>(i)].events);
      start_connects();
    }
    result_.seconds = seconds_since(start_);
    if (plan_.hold) {
      result_.establish_seconds = result_.seconds;
      if (while_held != nullptr) while_held(context);
    }
    return result_;
  }

 private:
  void start_connects() {
    while (!to_connect_.empty() && connecting_ < plan_.max_connecting) {
      const size_t i = to_connect_.front();
      to_connect_.pop_front();
      slot& s = slots_[i];
      s.fd = start_connect(target_);
      if (s.fd < 0) {
        fail_without_fd(s);
        continue;
      }
      epoll_event ev{};
      ev.events = EPOLLOUT;
      ev.data.u64 = i;
      epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev);
      s.at = phase::connecting;
      ++connecting_;
      ++active_;
    }
  }

  void watch(slot& s, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = static_cast<uint64_t>(&s - slots_.data());
    epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
  }

  void handle(slot& s, uint32_t events) {
    if (s.at == phase::connecting) {
      --connecting_;
      if (!connect_succeeded(s.fd)) return fail(s);
      watch(s, EPOLLIN);
      expect(s, phase::greeting, greeting_bytes);
      return;
    }
    if ((events & EPOLLOUT) != 0 && s.outgoing != nullptr) send_rest(s);
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) receive(s);
  }

  void expect(slot& s, phase p, const std::string& reply) {
    s.at = p;
    s.expected = &reply;
    s.received = 0;
  }

  void send_start(slot& s, const std::string& bytes) {
    s.outgoing = &bytes;
    s.sent = 0;
    s.sent_at = now_ns();
    send_rest(s);
  }

  void send_rest(slot& s) {
    while (s.sent < s.outgoing->size()) {
      const ssize_t n =
          send(s.fd, s.outgoing->data() + s.sent, s.outgoing->size() - s.sent, MSG_NOSIGNAL);
      if (n > 0) {
        s.sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        if (!s.waiting_to_send) watch(s, EPOLLIN | EPOLLOUT);
        s.waiting_to_send = true;
        return;
      } else if (n < 0 && errno != EINTR) {
        return fail(s);
      }
    }
    s.outgoing = nullptr;
    if (s.waiting_to_send) watch(s, EPOLLIN);
    s.waiting_to_send = false;
  }

  void receive(slot& s) {
    char buf[16384];
    for (;;) {
      const ssize_t n = recv(s.fd, buf, sizeof buf, 0);
      if (n == 0) return s.at == phase::closing ? session_done(s) : fail(s);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return fail(s);
      }
      const size_t len = static_cast<size_t>(n);
      if (s.at == phase::held || s.at == phase::closing || s.expected == nullptr ||
          s.received + len > s.expected->size() ||
          memcmp(buf, s.expected->data() + s.received, len) != 0)
        return fail(s);
      s.received += len;
      if (s.received == s.expected->size()) reply_complete(s);
    }
  }

  void reply_complete(slot& s) {
    if (s.at == phase::echo) {
      result_.latencies.push_back(static_cast<uint32_t>(now_ns() - s.sent_at));
      ++result_.echoes;
      result_.bytes += s.echo.size();
      --s.echoes_left;
    } else {
      s.echoes_left = plan_.echoes;
    }
    s.expected = nullptr;
    if (s.echoes_left > 0) {
      expect(s, phase::echo, s.echo);
      send_start(s, s.chunk);
    } else if (plan_.hold) {
      s.at = phase::held;
      ++held_;
    } else {
      s.at = phase::closing;
      send_start(s, terminator);
    }
  }

  void session_done(slot& s) {
    ++result_.sessions;
    close(s.fd);
    s.fd = -1;
    --active_;
    if (--s.sessions_left > 0) {
      s.at = phase::waiting;
      to_connect_.push_back(static_cast<size_t>(&s - slots_.data()));
    } else {
      s.at = phase::retired;
    }
  }

  void fail(slot& s) {
    if (s.at == phase::held) --held_;
    close(s.fd);
    s.fd = -1;
    --active_;
    fail_without_fd(s);
  }

  void fail_without_fd(slot& s) {
    ++result_.errors;
    s.at = phase::retired;
  }

  const target target_;
  const session_plan plan_;
  std::vector<slot> slots_;
  std::deque<size_t> to_connect_;
  int epoll_ = -1;
  uint64_t start_ = 0;
  unsigned connecting_ = 0;
  size_t active_ = 0;
  size_t held_ = 0;
  run_result result_;
};

}  // namespace

run_result run_sessions(const target& t, const session_plan& plan, void (*while_held)(void*),
                        void* context) {
  driver d(t, plan);
  return d.run(while_held, context);
}

run_result run_sessions_on_threads(const target& t, const session_plan& plan, unsigned threads) {
  threads = std::clamp(threads, 1U, plan.connections);
  if (threads == 1) return run_sessions(t, plan);
  std::vector<run_result> parts(threads);
  {
    std::vector<std::jthread> running;
    running.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
      session_plan share = plan;
      // The connections dealt out as evenly as they go.
      share.connections = plan.connections / threads + (i < plan.connections % threads ? 1 : 0);
      share.max_connecting = std::max(1U, plan.max_connecting / threads);
      running.emplace_back([&t, share, &part = parts[i]] { part = run_sessions(t, share); });
    }
  }
  run_result all;
  for (run_result& part : parts) {
    all.seconds = std::max(all.seconds, part.seconds);
    all.sessions += part.sessions;
    all.echoes += part.echoes;
    all.bytes += part.bytes;
    all.errors += part.errors;
    all.latencies.insert(all.latencies.end(), part.latencies.begin(), part.latencies.end());
  }
  return all;
}

}  // namespace capecho_bench
