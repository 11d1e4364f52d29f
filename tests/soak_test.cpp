// A thousand concurrent clients with random chunk sizes and every way of
// leaving, then the server must be as it was: serving, with its idle
// thread and descriptor counts, and not a byte lost or changed.
#include <dirent.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
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

// What can go wrong for a client, by step; leaving is counted by the way the
// client left.
enum step { greeting, echo, by_terminator, by_half_close, by_last_bytes_with_fin, steps };
const char* const step_names[steps] = {"greeting", "echo", "terminator", "half-close alone",
                                       "last bytes and FIN together"};
using tally = std::array<std::atomic<int>, steps>;

// A hung session costs its client one time-out, then the client is dropped;
// past `give_up` nothing more is waited for, so a server that hangs fails
// the test well within CTest's limit instead of stalling it.
using deadline = std::chrono::steady_clock::time_point;

// Reads until end of stream: true if exactly `want` came before it, by `by`.
// Past `by`, what has already arrived still counts.
bool ends_after(int fd, const std::string& want, deadline by) {
  std::string got;
  char buf[2048];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        by - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return got == want;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (got.size() > want.size()) return false;
  }
}

// The last chunk and the FIN leave in one segment: corked, the chunk waits,
// and the FIN is tacked onto it.
bool send_with_fin(int fd, const std::string& chunk) {
  const int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0 &&
         send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(chunk.size()) &&
         shutdown(fd, SHUT_WR) == 0;
}

// Drives its share of the clients: all connected at once, then round after
// round of echoes, then each leaves in its own way, all of them before any
// is checked. Counts every failure by step.
void drive(int port, int first, int count, deadline give_up, tally& failures) {
  std::mt19937 rng(static_cast<unsigned>(first));
  std::vector<std::unique_ptr<tcp_client>> mine;
  for (int i = 0; i < count; ++i) {
    mine.push_back(std::make_unique<tcp_client>(port, "127.0.0.1", 20000));
    if (!mine.back()->connected() || !mine.back()->greeted()) {
      ++failures[greeting];
      mine.back().reset();
    }
  }
  for (int round = 0; round < echoes_each; ++round)
    for (auto& c : mine) {
      const std::string chunk = random_chunk(rng);
      if (c != nullptr &&
          (std::chrono::steady_clock::now() > give_up || c->echo(chunk) != ascii_upper(chunk))) {
        ++failures[echo];
        c.reset();
      }
    }
  std::vector<std::pair<step, std::string>> expected(mine.size());
  for (size_t i = 0; i < mine.size(); ++i) {
    if (mine[i] == nullptr) continue;
    tcp_client& c = *mine[i];
    switch ((static_cast<size_t>(first) + i) % 4) {
      case 0:
        expected[i] = {by_terminator, ""};
        if (!c.send_all(".\r\n")) ++failures[by_terminator];
        break;
      case 1:
        expected[i] = {by_half_close, ""};
        if (shutdown(c.fd(), SHUT_WR) != 0) ++failures[by_half_close];
        break;
      case 2: {
        const std::string chunk = random_chunk(rng);
        expected[i] = {by_last_bytes_with_fin, ascii_upper(chunk)};
        if (!send_with_fin(c.fd(), chunk)) ++failures[by_last_bytes_with_fin];
        break;
      }
      default:
        c.reset();
        mine[i] = nullptr;
    }
  }
  const deadline ended_by =
      std::min(give_up, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  for (size_t i = 0; i < mine.size(); ++i)
    if (mine[i] != nullptr && !ends_after(mine[i]->fd(), expected[i].second, ended_by))
      ++failures[expected[i].first];
}

TEST(Soak, ThousandClientsLeaveTheServerAsItWas) {
  server_process server({"--listen", "127.0.0.1:0", "--thread-cache", std::to_string(thread_cache),
                         "--max-connections", "2000", "--backlog", "2048"});
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  const int idle_threads = threads_of(server.pid());
  const int idle_fds = descriptors_of(server.pid());
  ASSERT_GT(idle_threads, 0);

  tally failures{};
  std::vector<std::thread> drivers;
  const int share = clients_total / driver_threads;
  const deadline give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (int t = 0; t < driver_threads; ++t)
    drivers.emplace_back(drive, port, t * share, share, give_up, std::ref(failures));
  for (auto& d : drivers) d.join();
  for (int s = 0; s < steps; ++s) EXPECT_EQ(failures[s].load(), 0) << step_names[s];

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
