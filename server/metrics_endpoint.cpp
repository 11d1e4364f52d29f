#include "metrics_endpoint.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <chrono>
#include <system_error>

namespace capecho {
namespace {

constexpr auto request_deadline = std::chrono::seconds(2);
constexpr size_t request_limit = 4096;

using deadline = std::chrono::steady_clock::time_point;

// Waits for `events` on fd until the deadline; false when it passed.
bool wait_for(int fd, short events, deadline until) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// The request head, up to the blank line; "" when it is too long, too slow
// or cut short.
std::string read_head(int fd, deadline until) {
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (head.size() >= request_limit || !wait_for(fd, POLLIN, until)) return "";
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return "";
    head.append(buf, static_cast<size_t>(n));
  }
  return head;
}

void write_all(int fd, const std::string& data, deadline until) {
  for (size_t done = 0; done < data.size();) {
    if (!wait_for(fd, POLLOUT, until)) return;
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;  // the scraper left
    done += static_cast<size_t>(n);
  }
}

std::string http(const char* status, const char* type, const std::string& body) {
  return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

}  // namespace

std::string metrics_response(std::string_view request, const std::function<std::string()>& render) {
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  const bool wanted = line.rfind("GET /metrics ", 0) == 0 || line.rfind("GET /metrics?", 0) == 0;
  if (!wanted) return http("404 Not Found", "text/plain; charset=utf-8", "not found\n");
  return http("200 OK", "text/plain; version=0.0.4; charset=utf-8", render());
}

metrics_endpoint::metrics_endpoint(unique_fd listener, std::function<std::string()> render)
    : listener_(std::move(listener)),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      render_(std::move(render)) {
  if (!wake_.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([this] { run(); });
}

metrics_endpoint::~metrics_endpoint() {
  const uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is already non-zero: the thread is woken all the same.
  }
  thread_.join();
}

void metrics_endpoint::run() {
  pollfd watched[2] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) < 0 && errno != EINTR) return;
    if (watched[1].revents != 0) return;
    if (watched[0].revents == 0) continue;
    unique_fd client(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client.valid()) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        (void)poll(&watched[1], 1, 100);  // a scrape can wait; serving must not
      continue;
    }
    try {
      answer(client.get());
    } catch (const std::bad_alloc&) {
      // This scrape is lost; the next one may fare better.
    }
  }
}

void metrics_endpoint::answer(int fd) {
  const deadline until = std::chrono::steady_clock::now() + request_deadline;
  const std::string head = read_head(fd, until);
  if (head.empty()) return;
  write_all(fd, metrics_response(head, render_), until);
}

}  // namespace capecho
