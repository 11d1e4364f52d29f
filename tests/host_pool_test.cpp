// The worker pool, with thread creation made to fail on demand, and the
// overload policy's choice of sessions to end.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "overload.h"
#include "worker_pool.h"

using namespace capecho;

namespace {
std::atomic<int> failing_creates{0};
constexpr size_t small_stack = size_t{64} * 1024;
}  // namespace

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern "C" int __wrap_pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*),
                                     void* arg) {
  if (failing_creates > 0) {
    --failing_creates;
    return EAGAIN;
  }
  return __real_pthread_create(t, a, f, arg);
}

namespace {

// Jobs that hold their thread until released.
struct held_jobs {
  std::mutex mutex;
  std::condition_variable changed;
  std::multiset<int> running;
  std::atomic<int> done{0};
  bool release = false;

  void run(const session_job& job) {
    std::unique_lock lock(mutex);
    running.insert(job.fd);
    changed.notify_all();
    changed.wait(lock, [this] { return release; });
    running.erase(running.find(job.fd));
    ++done;
    changed.notify_all();
  }
  bool wait_running(size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return running.size() == n; });
  }
  void release_all() {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
};

template <typename Probe>
bool eventually(Probe probe) {
  for (int i = 0; i < 500; ++i) {
    if (probe()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(WorkerPool, RunsEachJobOnAReservedThreadAndParksUpToTheCache) {
  held_jobs jobs;
  worker_pool pool(2, small_stack, [&jobs](const session_job& job) { jobs.run(job); });
  std::string error;
  for (int fd = 10; fd < 14; ++fd) {
    worker_pool::worker* w = pool.reserve(error);
    ASSERT_NE(w, nullptr) << error;
    pool.start(w, session_job{fd, {}});
  }
  ASSERT_TRUE(jobs.wait_running(4));
  EXPECT_EQ(jobs.running, (std::multiset<int>{10, 11, 12, 13}));
  EXPECT_EQ(pool.threads(), 4u);
  EXPECT_EQ(pool.parked(), 0u);
  jobs.release_all();
  // A parked thread is reused; the two that did not fit exit and are reaped
  // by a later reservation.
  ASSERT_TRUE(eventually([&] {
    worker_pool::worker* again = pool.reserve(error);
    const bool settled = pool.parked() == 1 && pool.threads() == 2;
    pool.release(again);
    return jobs.done == 4 && settled;
  }));
  EXPECT_EQ(pool.parked(), 2u);
  pool.stop_and_join();
  EXPECT_EQ(pool.threads(), 0u);
  EXPECT_EQ(pool.reserve(error), nullptr) << "a stopped pool starts nothing";
}

TEST(WorkerPool, ReportsAThreadThatCannotStartAndRecovers) {
  std::atomic<int> ran{0};
  worker_pool pool(0, small_stack, [&ran](const session_job&) { ++ran; });
  std::string error;
  failing_creates = 2;
  EXPECT_EQ(pool.reserve(error), nullptr);
  EXPECT_EQ(error, "pthread_create: Resource temporarily unavailable");
  EXPECT_EQ(pool.reserve(error), nullptr);
  worker_pool::worker* w = pool.reserve(error);
  ASSERT_NE(w, nullptr) << "the next try starts a thread again";
  pool.start(w, session_job{});
  ASSERT_TRUE(eventually([&] { return ran == 1; }));
  EXPECT_TRUE(eventually([&] { return pool.reserve(error) != nullptr; }));
  EXPECT_EQ(pool.parked(), 0u) << "with no cache, every job gets a fresh thread";
}

TEST(WorkerPool, StopWakesReservedAndParkedThreads) {
  worker_pool pool(4, small_stack, [](const session_job&) {});
  std::string error;
  worker_pool::worker* reserved = pool.reserve(error);
  worker_pool::worker* parked = pool.reserve(error);
  ASSERT_NE(reserved, nullptr);
  ASSERT_NE(parked, nullptr);
  pool.release(parked);
  pool.stop_and_join();  // returns only when both threads have ended
  EXPECT_EQ(pool.threads(), 0u);
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

}  // namespace
