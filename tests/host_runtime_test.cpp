// The runtime's parts that need no server: switching stacks, copying a
// parked session's frames out and back, the overload policy's choice of
// sessions to end, and admission's books.
#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdlib.h>

#include <atomic>
#include <new>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "admission.h"
#include "scheduler.h"
#include "overload.h"
#include "shared_stack.h"
#include "stack_switch.h"

using namespace capecho;

// The next this many malloc calls fail.
std::atomic<int> mallocs_to_fail{0};

extern "C" void* __real_malloc(size_t);
extern "C" void* __wrap_malloc(size_t n) {
  int left = mallocs_to_fail.load();
  while (left > 0 && !mallocs_to_fail.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0 ? nullptr : __real_malloc(n);
}

// The next this many allocations through new fail.
std::atomic<int> news_to_fail{0};

void* operator new(size_t n) {
  int left = news_to_fail.load();
  while (left > 0 && !news_to_fail.compare_exchange_weak(left, left - 1)) {
  }
  void* p = left > 0 ? nullptr : malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
// What this new takes from malloc, this delete gives back to free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
#pragma GCC diagnostic pop

namespace {

extern "C" int capecho_marked_switch(void** from, void* to, uint64_t seed, uint64_t* seen);

// The floating-point controls a switch must keep for each side: MXCSR and
// the x87 control word, or FPCR.
struct fp_controls {
  uint64_t words[2] = {};
  bool operator==(const fp_controls&) const = default;
  friend void PrintTo(const fp_controls& c, std::ostream* out) {
    *out << std::hex << "{0x" << c.words[0] << ", 0x" << c.words[1] << "}";
  }
};

fp_controls current_fp() {
  fp_controls c;
#if defined(__x86_64__)
  uint32_t mxcsr = 0;
  uint16_t x87 = 0;
  asm volatile("stmxcsr %0\n\tfnstcw %1" : "=m"(mxcsr), "=m"(x87));
  c.words[0] = mxcsr;
  c.words[1] = x87;
#elif defined(__aarch64__)
  asm volatile("mrs %0, fpcr" : "=r"(c.words[0]));
#endif
  return c;
}

void set_fp(const fp_controls& c) {
#if defined(__x86_64__)
  const auto mxcsr = static_cast<uint32_t>(c.words[0]);
  const auto x87 = static_cast<uint16_t>(c.words[1]);
  asm volatile("ldmxcsr %0\n\tfldcw %1" : : "m"(mxcsr), "m"(x87));
#elif defined(__aarch64__)
  asm volatile("msr fpcr, %0" : : "r"(c.words[0]));
#endif
}

// Rounding toward zero with single-precision x87, and rounding up with
// flush-to-zero and double precision: neither is what a thread starts with.
#if defined(__x86_64__)
const fp_controls side_fp[2] = {{{0x7F80, 0x007F}}, {{0xDF80, 0x0A7F}}};
#elif defined(__aarch64__)
const fp_controls side_fp[2] = {{{3U << 22}}, {{1U << 22 | 1U << 24}}};
#endif

struct session_side {
  void* sp = nullptr;
  uint64_t seed = 0;
  uintptr_t entry_frame = 0;
  int resumed = 0;
};

struct two_sessions {
  void* main_sp = nullptr;
  session_side sides[2];
  std::vector<int> trail;
};

two_sessions* running_pair = nullptr;

// Each side keeps its own registers and floating-point controls while the
// other side and the main stack run with theirs.
void session_entry(void* arg) {
  auto* side = static_cast<session_side*>(arg);
  side->entry_frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const int which = side == &running_pair->sides[0] ? 0 : 1;
  set_fp(side_fp[which]);
  for (;;) {
    running_pair->trail.push_back(which);
    uint64_t seen[24] = {};
    const int n = capecho_marked_switch(&side->sp, running_pair->main_sp, side->seed, seen);
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(seen[i], side->seed + i) << "side " << which << " register " << i;
    EXPECT_EQ(current_fp(), side_fp[which]) << "side " << which;
    ++side->resumed;
  }
}

TEST(Runtime, StacksSwitchBackAndForthKeepingEachSidesState) {
  shared_stack stacks[2];
  two_sessions pair;
  running_pair = &pair;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(stacks[i].map(size_t{64} * 1024));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(stacks[i].top()) % 64, 0U);
    pair.sides[i].seed = 0x5100'0000'0000'0000ULL * (i + 1);
    pair.sides[i].sp = prepare_stack(stacks[i].top(), &session_entry, &pair.sides[i]);
  }
  const fp_controls main_fp = current_fp();
  ASSERT_NE(main_fp, side_fp[0]);
  ASSERT_NE(main_fp, side_fp[1]);
  constexpr uint64_t main_seed = 0x3A00'0000'0000'0000ULL;
  for (int round = 0; round < 6; ++round) {
    session_side& side = pair.sides[round % 2];
    uint64_t seen[24] = {};
    const int n = capecho_marked_switch(&pair.main_sp, side.sp, main_seed, seen);
    ASSERT_GT(n, 5);
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(seen[i], main_seed + i) << "round " << round << " register " << i;
    EXPECT_EQ(current_fp(), main_fp) << "round " << round;
  }
  EXPECT_EQ(pair.trail, (std::vector<int>{0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(pair.sides[0].resumed + pair.sides[1].resumed, 4);
  // The ABI's alignment at a call: a frame (the return address and the saved
  // frame pointer) on a 16-byte boundary.
  for (const session_side& side : pair.sides) EXPECT_EQ(side.entry_frame % 16, 0U);
  running_pair = nullptr;
}

TEST(Runtime, SavedFramesComeBackExactlyAndZeroBlocksCostNothing) {
  constexpr size_t blocks = 20;
  std::vector<unsigned char> region(frame_block * blocks);
  for (size_t i = 0; i < region.size(); ++i)
    region[i] = (i / frame_block) % 3 == 0 ? static_cast<unsigned char>(i * 7 + 1) : 0;
  region[frame_block * 5 - 1] = 9;  // one byte makes a block worth keeping: block 4
  const std::vector<unsigned char> original = region;
  saved_frames frames;
  ASSERT_TRUE(frames.save(region.data(), region.data() + region.size()));
  EXPECT_EQ(frames.bytes_held(), 3 + 8 * frame_block) << "a bitmap, then blocks 0 3 4 6 9 12 15 18";
  memset(region.data(), 0xAB, region.size());
  frames.restore(region.data(), region.data() + region.size());
  EXPECT_EQ(region, original);

  // A buffer far too large is given back, but kept when no smaller one can be had.
  std::vector<unsigned char> small(frame_block * 2, 5);
  mallocs_to_fail = 1;
  ASSERT_TRUE(frames.save(small.data(), small.data() + small.size()));
  EXPECT_EQ(mallocs_to_fail, 0) << "a smaller buffer was asked for";
  EXPECT_EQ(frames.bytes_held(), 3 + 8 * frame_block) << "the old one kept";
  memset(small.data(), 0, small.size());
  frames.restore(small.data(), small.data() + small.size());
  EXPECT_EQ(small, std::vector<unsigned char>(frame_block * 2, 5));
  saved_frames fresh;
  mallocs_to_fail = 1;
  EXPECT_FALSE(fresh.save(region.data(), region.data() + region.size())) << "no buffer at all";
  EXPECT_EQ(fresh.bytes_held(), 0U);

  std::vector<unsigned char> quiet(frame_block * 8, 0);
  ASSERT_TRUE(frames.save(quiet.data(), quiet.data() + quiet.size()));
  EXPECT_LE(frames.bytes_held(), 1U) << "a cleared buffer is not copied";
  memset(quiet.data(), 1, quiet.size());
  frames.restore(quiet.data(), quiet.data() + quiet.size());
  EXPECT_EQ(quiet, std::vector<unsigned char>(frame_block * 8, 0));
}

// Which calls a task makes before it parks: a wrong answer either loses an
// edge (a hang) or spends a call that can only say EAGAIN.
TEST(Runtime, ReadinessFollowsTheEdgesAndWhatEachCallReturned) {
  struct step {
    uint32_t edge;    // an epoll edge first, or 0
    uint32_t events;  // then one call for these
    ssize_t n;
    int err;
    uint32_t ready_after;
  };
  constexpr size_t chunk = 1024;
  const struct {
    const char* name;
    std::vector<step> steps;
  } cases[] = {
      {"a short read is tried again a few times a turn, then trusted",
       {{EPOLLIN, EPOLLIN, 64, 0, EPOLLIN},
        {0, EPOLLIN, 64, 0, EPOLLIN},
        {0, EPOLLIN, 64, 0, EPOLLIN},
        {0, EPOLLIN, 64, 0, EPOLLIN},
        {0, EPOLLIN, 1, 0, 0}}},
      {"a full read proves nothing and spends none of them",
       {{EPOLLIN, EPOLLIN, chunk, 0, EPOLLIN},
        {0, EPOLLIN, chunk, 0, EPOLLIN},
        {0, EPOLLIN, chunk, 0, EPOLLIN},
        {0, EPOLLIN, chunk, 0, EPOLLIN},
        {0, EPOLLIN, chunk, 0, EPOLLIN}}},
      {"EAGAIN ends readiness at once", {{EPOLLIN, EPOLLIN, -1, EAGAIN, 0}}},
      {"a short write is trusted at once", {{EPOLLIN | EPOLLOUT, EPOLLOUT, 10, 0, EPOLLIN}}},
      {"after the end of the stream only EAGAIN ends readiness",
       {{EPOLLIN | EPOLLRDHUP, EPOLLIN, 3, 0, EPOLLIN},
        {0, EPOLLIN, 3, 0, EPOLLIN},
        {0, EPOLLIN, 3, 0, EPOLLIN},
        {0, EPOLLIN, 3, 0, EPOLLIN},
        {0, EPOLLIN, 3, 0, EPOLLIN},
        {0, EPOLLIN, 0, EAGAIN, EPOLLIN},  // errno left from before
        {0, EPOLLIN, -1, EAGAIN, 0},
        {EPOLLIN, EPOLLIN, 3, 0, EPOLLIN}}},
      {"after urgent data, the same", {{EPOLLPRI, EPOLLIN, 4, 0, EPOLLIN}}},
      {"EAGAIN ends what a hang-up said: the next short write is trusted",
       {{EPOLLOUT | EPOLLHUP, EPOLLOUT, -1, EAGAIN, EPOLLIN},
        {EPOLLOUT, EPOLLOUT, 10, 0, EPOLLIN}}},
  };
  static_assert(short_reads_retried_per_turn == 4, "the first case reads five times");
  for (const auto& c : cases) {
    task t;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const step& s = c.steps[i];
      if (s.edge != 0) note_edge(t, s.edge);
      errno = s.err;
      note_result(t, s.events, s.n, chunk);
      EXPECT_EQ(t.ready & (EPOLLIN | EPOLLOUT), s.ready_after) << c.name << ", step " << i;
    }
  }
}

std::vector<room_candidate> sessions(std::initializer_list<room_candidate> list) { return list; }

TEST(Overload, EndsOnlyIdleSessionsHeaviestSourceAndLongestIdleFirst) {
  auto c = sessions({{1, 999, 50}, {2, 1000, 1}, {3, 5000, 1}, {4, 1500, 10}, {5, 0, 1}});
  ASSERT_EQ(choose_sessions_to_end(c, 10, 1000), 3u) << "1 and 5 are active, never chosen";
  EXPECT_EQ(c[0].fd, 4) << "10 slots x 1.5 s outweighs 1 slot x 5 s";
  EXPECT_EQ(c[1].fd, 3);
  EXPECT_EQ(c[2].fd, 2) << "exactly the threshold counts as idle";

  c = sessions({{1, 2000, 1}, {2, 9000, 1}, {3, 4000, 1}});
  ASSERT_EQ(choose_sessions_to_end(c, 2, 1000), 2u) << "no more than the clients waiting";
  EXPECT_EQ(c[0].fd, 2);
  EXPECT_EQ(c[1].fd, 3);

  c = sessions({{1, 100, 1000}, {2, 200, 1}});
  EXPECT_EQ(choose_sessions_to_end(c, 5, 1000), 0u);
  c = sessions({});
  EXPECT_EQ(choose_sessions_to_end(c, 5, 1000), 0u);
  c = sessions({{1, 4000000000U, 1000000}});
  EXPECT_EQ(choose_sessions_to_end(c, 1, 1000), 1u) << "weights do not overflow";
  c = sessions({{1, 4000000000U, 1000000}, {2, 4000000000U, 999999}});
  ASSERT_EQ(choose_sessions_to_end(c, 1, 1000), 1u);
  EXPECT_EQ(c[0].fd, 1);
}

endpoint host(const char* ip) {
  endpoint e;
  auto* in = reinterpret_cast<sockaddr_in*>(&e.storage);
  in->sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, ip, &in->sin_addr), 1);
  e.length = sizeof *in;
  return e;
}

TEST(Admission, KeepsTheLimitAndEachSourcesShare) {
  admission books({3, 2});
  const endpoint a = host("127.0.0.2");
  const endpoint b = host("127.0.0.3");
  EXPECT_EQ(books.admit(10, &a), admit_result::admitted);
  EXPECT_EQ(books.admit(11, &a), admit_result::admitted);
  EXPECT_EQ(books.admit(12, &a), admit_result::source_full);
  EXPECT_EQ(books.sessions(), 2u) << "a refusal takes no slot";
  EXPECT_TRUE(books.has_room());
  EXPECT_EQ(books.admit(12, &b), admit_result::admitted);
  EXPECT_FALSE(books.has_room()) << "3 of 3";
  EXPECT_FALSE(books.wait_for_room(std::chrono::milliseconds(20), [] { return false; }));
  books.release(10);
  EXPECT_TRUE(books.has_room());
  EXPECT_EQ(books.admit(13, &a), admit_result::admitted) << "the release gave back a's share";
  books.release(99);  // never admitted: changes nothing
  EXPECT_EQ(books.sessions(), 3u);
  EXPECT_EQ(books.peak(), 3u);

  std::thread leaver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    books.release(11);
  });
  EXPECT_TRUE(books.wait_for_room(std::chrono::seconds(30), [] { return false; }))
      << "a release wakes the waiter";
  leaver.join();

  // Behind a balancer the slot comes first and the source's share once the
  // header names it.
  admission proxied({10, 1});
  EXPECT_EQ(proxied.admit(20, nullptr), admit_result::admitted);
  EXPECT_EQ(proxied.admit(21, nullptr), admit_result::admitted);
  EXPECT_EQ(proxied.claim_source(20, a), admit_result::admitted);
  EXPECT_EQ(proxied.claim_source(21, a), admit_result::source_full);
  proxied.release(20);
  EXPECT_EQ(proxied.claim_source(21, a), admit_result::admitted);

  // A refusal allocates nothing, whatever the family of its source.
  admission six({10, 1});
  endpoint v6;
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&v6.storage);
  in6->sin6_family = AF_INET6;
  ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::7", &in6->sin6_addr), 1);
  v6.length = sizeof *in6;
  EXPECT_EQ(six.admit(40, &v6), admit_result::admitted);
  EXPECT_EQ(six.admit(41, nullptr), admit_result::admitted);
  news_to_fail = 1000;
  EXPECT_EQ(six.admit(42, &v6), admit_result::source_full);
  EXPECT_EQ(six.claim_source(41, v6), admit_result::source_full);
  const int untouched = news_to_fail.exchange(0);
  EXPECT_EQ(untouched, 1000) << "the refusals allocated";

  admission unlimited({10, 0});
  for (int fd = 30; fd < 40; ++fd) EXPECT_EQ(unlimited.admit(fd, &a), admit_result::admitted);
  EXPECT_FALSE(unlimited.has_room());
}

// A loopback TCP connection: the server's side and the client's.
struct tcp_pair {
  int server = -1;
  int client = -1;
  ~tcp_pair() {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
};

void connect_pair(int listener, tcp_pair& p) {
  sockaddr_in at{};
  socklen_t len = sizeof at;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len), 0);
  p.client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(p.client, reinterpret_cast<sockaddr*>(&at), len), 0);
  p.server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(p.server, 0);
}

bool ended(int client) {
  char c = 0;
  return recv(client, &c, 1, MSG_DONTWAIT) == 0;
}

TEST(Admission, EndsIdleSessionsForWaitingClientsAndEveryoneAtAStop) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  tcp_pair pairs[4];
  for (tcp_pair& p : pairs) connect_pair(listener, p);
  close(listener);

  admission books({4, 0});
  const endpoint a = host("127.0.0.2");
  for (tcp_pair& p : pairs) ASSERT_EQ(books.admit(p.server, &a), admit_result::admitted);
  EXPECT_EQ(books.end_idle_sessions(2, 60000), 0u) << "none idle for a minute";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(send(pairs[0].client, "x", 1, 0), 1);  // the first client is active
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(books.end_idle_sessions(0, 50), 0u) << "no one waits";
  EXPECT_EQ(books.end_idle_sessions(1, 50), 1u);
  EXPECT_EQ(books.end_idle_sessions(1, 50), 0u) << "the one being ended makes room already";
  EXPECT_EQ(books.end_idle_sessions(2, 50), 1u) << "one more for two waiting";
  EXPECT_EQ(books.end_idle_sessions(5, 50), 1u) << "only the idle ones";
  EXPECT_FALSE(ended(pairs[0].client));
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(ended(pairs[i].client)) << i;
  EXPECT_EQ(books.sessions(), 4u) << "ended sessions hold their slot until released";

  EXPECT_EQ(books.end_all(), 4u);
  EXPECT_TRUE(ended(pairs[0].client));
  for (tcp_pair& p : pairs) books.release(p.server);
  books.wait_until_empty(std::chrono::steady_clock::now() + std::chrono::seconds(30),
                         [] { return false; });
  EXPECT_EQ(books.sessions(), 0u);
}

}  // namespace
