// A thousand concurrent clients with random chunk sizes and every way of
// leaving, then the server must be as it was: serving, with its idle
// thread and descriptor counts, and not a byte lost or changed.
#include <dirent.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "session_helpers.h"
#include "tcp_client.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

constexpr int clients_total = 1000;
constexpr int driver_threads = 8;
constexpr int echoes_each = 50;
constexpr unsigned thread_cache = 32;

int descriptors_of(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  // readdir is safe on a DIR of one's own; readdir_r is the deprecated one.
  // cppcheck-suppress readdirCalled
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// Polls until `probe` returns `want`, for at most 20 s; returns the last value.
template <typename Probe>
int settles_at(int want, Probe probe) {
  int value = probe();
  for (int i = 0; i < 200 && value != want; ++i) {
    std::this_thread::sleep_for(100ms);
    value = probe();
  }
  return value;
}

// Random letters, digits and punctuation, never '.', so no chunk can be
// taken for the terminator however TCP splits it.
std::string random_chunk(std::mt19937& rng) {
  static const char alphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \r\n\t,;:!?-_\x01\xff";
  std::uniform_int_distribution<size_t> size(1, 1024), pick(0, sizeof alphabet - 2);
  std::string s(size(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

// Drives its share of the clients: all connected at once, then round after
// round of echoes, then each leaves in its own way. Counts every failure.
void drive(int port, int first, int count, std::atomic<int>& failures) {
  std::mt19937 rng(static_cast<unsigned>(first));
  std::vector<std::unique_ptr<tcp_client>> mine;
  for (int i = 0; i < count; ++i) {
    mine.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 20000));
    if (!mine.back()->connected() || !mine.back()->greeted()) ++failures;
  }
  for (int round = 0; round < echoes_each; ++round)
    for (auto& c : mine) {
      const std::string chunk = random_chunk(rng);
      if (c->echo(chunk) != ascii_upper(chunk)) ++failures;
    }
  for (int i = 0; i < count; ++i) {
    tcp_client& c = *mine[static_cast<size_t>(i)];
    switch ((first + i) % 3) {
      case 0:
        if (!c.finish()) ++failures;
        break;
      case 1:
        shutdown(c.fd(), SHUT_WR);
        if (!c.closed_by_server()) ++failures;
        break;
      default:
        c.reset();
    }
  }
}

TEST(Soak, ThousandClientsLeaveTheServerAsItWas) {
  server_process server({"--listen", "127.0.0.1:0", "--thread-cache", std::to_string(thread_cache),
                         "--max-connections", "2000", "--backlog", "2048"});
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  const int idle_threads = threads_of(server.pid());
  const int idle_fds = descriptors_of(server.pid());
  ASSERT_GT(idle_threads, 0);

  std::atomic<int> failures{0};
  std::vector<std::thread> drivers;
  const int share = clients_total / driver_threads;
  for (int t = 0; t < driver_threads; ++t)
    drivers.emplace_back(drive, port, t * share, share, std::ref(failures));
  for (auto& d : drivers) d.join();
  EXPECT_EQ(failures.load(), 0);

  tcp_client after(port);
  EXPECT_TRUE(after.greeted());
  EXPECT_EQ(after.echo("still serving"), "STILL SERVING");
  EXPECT_TRUE(after.finish());

  const pid_t pid = server.pid();
  EXPECT_EQ(settles_at(idle_fds, [pid] { return descriptors_of(pid); }), idle_fds);
  EXPECT_EQ(settles_at(idle_threads, [pid] { return threads_of(pid); }), idle_threads)
      << "the workers are a fixed set: a burst leaves no thread behind";

  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
  EXPECT_NE(server.log().find("peak 1000 concurrent"), std::string::npos) << server.log();
}

}  // namespace
