// The log queue between the server's threads and standard error, with
// standard error on a file that takes every line at once, and on a pipe that
// no one reads.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "events.h"
#include "log.h"
#include "unique_fd.h"

using namespace capecho;
using capecho_test::unique_fd;
using namespace std::chrono_literals;

namespace {

// Polls `probe` every 50 ms until it holds; false after ten seconds.
template <typename Probe>
bool eventually(Probe probe) {
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < end; usleep(50000))
    if (probe()) return true;
  return false;
}

// Points standard error at `fd` for the test's lifetime.
class stderr_redirect {
 public:
  explicit stderr_redirect(int fd) : saved_(dup(STDERR_FILENO)) { dup2(fd, STDERR_FILENO); }
  ~stderr_redirect() { dup2(saved_.get(), STDERR_FILENO); }
  stderr_redirect(const stderr_redirect&) = delete;
  stderr_redirect& operator=(const stderr_redirect&) = delete;

 private:
  unique_fd saved_;
};

// The log writer, stopped however the test ends.
class log_writer {
 public:
  log_writer() { started_ = start_log_writer(why_, describe_lines_dropped); }
  ~log_writer() { stop_log_writer(std::chrono::seconds(1)); }
  log_writer(const log_writer&) = delete;
  log_writer& operator=(const log_writer&) = delete;
  bool started() const { return started_; }
  std::string error() const { return failure_text(why_); }

 private:
  bool started_ = false;
  failure why_;
};

// Line `n`: its number, then filler of a length that varies with `n`, so
// lines start and end anywhere in the queue.
void log_numbered(int n) {
  const int filler = 1 + (n * 37) % 300;
  log_event(log_level::error, "line", {{"n", n}}, "line %d %.*s", n, filler,
            std::string(300, 'x').c_str());
}

// The numbers of the numbered lines in `text`, in order; -1 for a line
// whose filler is not the one its number says.
std::vector<int> numbers_in(const std::string& text) {
  static const std::string mark = "capecho-server: line ";
  std::vector<int> out;
  for (size_t at = 0; (at = text.find(mark, at)) != std::string::npos;) {
    char* rest = nullptr;
    const long n = strtol(text.c_str() + at + mark.size(), &rest, 10);
    const size_t filler = static_cast<size_t>(rest - text.c_str()) + 1;
    const size_t end = text.find('\n', filler);
    const bool whole = *rest == ' ' && end != std::string::npos &&
                       text.find_first_not_of('x', filler) == end &&
                       end - filler == size_t(1 + (n * 37) % 300);
    out.push_back(whole ? static_cast<int>(n) : -1);
    at = filler;
  }
  return out;
}

size_t lines_in(const std::string& text) {
  return size_t(std::count(text.begin(), text.end(), '\n'));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(LogQueue, AReaderThatKeepsUpGetsEveryLineWholeAndInOrder) {
  char path[] = "/tmp/capecho-log-XXXXXX";
  const unique_fd file(mkstemp(path));
  ASSERT_GE(file.get(), 0);
  stderr_redirect redirect(file);
  log_writer writer;
  ASSERT_TRUE(writer.started()) << writer.error();

  // Rounds of half a queue, each written out before the next: several times
  // round the queue, with no line ever dropped.
  const int per_round = static_cast<int>(log_queue_bytes() / 2 / 360);
  const int rounds = 7;
  int logged = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < per_round; ++i) log_numbered(logged++);
    ASSERT_TRUE(eventually([&] { return lines_in(read_file(path)) == size_t(logged); }))
        << "round " << round;
  }
  stop_log_writer(1s);
  const std::vector<int> numbers = numbers_in(read_file(path));
  unlink(path);
  EXPECT_EQ(log_lines_dropped(), 0u);
  ASSERT_EQ(numbers.size(), size_t(logged));
  for (int i = 0; i < logged; ++i) ASSERT_EQ(numbers[size_t(i)], i) << "line " << i;
}

TEST(LogQueue, AStalledReaderCostsTheNewestLinesNeverAWaitAndLearnsHowMany) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const unique_fd reader(ends[0]), write_end(ends[1]);
  fcntl(reader, F_SETPIPE_SZ, 4096);
  stderr_redirect redirect(write_end);
  log_writer writer;
  ASSERT_TRUE(writer.started()) << writer.error();

  // Twice what the queue holds, while nothing is read.
  const int total = static_cast<int>(2 * log_queue_bytes() / 200);
  auto logging = std::async(std::launch::async, [total] {
    for (int n = 0; n < total; ++n) log_numbered(n);
  });
  const bool returned = logging.wait_for(60s) == std::future_status::ready;
  std::string received;
  auto read_until = [&](const std::string& text) {
    return eventually([&] {
      char buf[65536];
      pollfd p{reader, POLLIN, 0};
      while (poll(&p, 1, 20) == 1) {
        const ssize_t n = read(reader, buf, sizeof buf);
        if (n <= 0) break;
        received.append(buf, static_cast<size_t>(n));
      }
      return received.find(text) != std::string::npos;
    });
  };
  if (!returned) read_until("never");  // let the logging thread go before failing
  ASSERT_TRUE(returned) << "a log call waited for standard error";
  const unsigned long long dropped = log_lines_dropped();
  EXPECT_GT(dropped, 0u);

  ASSERT_TRUE(read_until("dropped: standard error is too slow\n"));
  const size_t report = received.find(" log lines dropped: standard error is too slow\n");
  ASSERT_NE(report, std::string::npos);
  const size_t count = received.rfind(' ', report - 1) + 1;
  EXPECT_EQ(received.substr(count, report - count), std::to_string(dropped))
      << "the reader learns how many it missed";
  const std::vector<int> numbers = numbers_in(received);
  EXPECT_EQ(numbers.size() + dropped, size_t(total)) << "a line is written or counted";
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), -1), 0) << "no line is cut";
  for (size_t i = 1; i < numbers.size(); ++i)
    ASSERT_GT(numbers[i], numbers[i - 1]) << "whole lines, in order";
  EXPECT_EQ(numbers.front(), 0) << "the oldest lines are kept";
}

}  // namespace
