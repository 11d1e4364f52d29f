#include "metrics_endpoint.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <new>

#include "events.h"

namespace capecho {
namespace {

constexpr auto request_deadline = std::chrono::seconds(2);
constexpr size_t request_limit = 4096;

using steady = std::chrono::steady_clock;

// The request head is complete once a blank line ends it.
bool head_complete(const std::string& head) {
  return head.find("\r\n\r\n") != std::string::npos || head.find("\n\n") != std::string::npos;
}

}  // namespace

// One scrape in progress: its request coming in, then its answer going out.
struct metrics_endpoint::scrape {
  unique_fd fd;
  steady::time_point deadline;
  std::string in;
  std::string out;
  size_t sent = 0;
};

namespace {

constexpr const char* text_type = "text/plain; charset=utf-8";

std::string http(const char* status, const char* type, const std::string& body, bool head,
                 const char* extra = "") {
  return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
         "Connection: close\r\n\r\n" + (head ? std::string() : body);
}

std::string health(bool good, const char* bad_body, bool head) {
  return good ? http("200 OK", text_type, "ok\n", head)
              : http("503 Service Unavailable", text_type, bad_body, head);
}

}  // namespace

std::string metrics_response(std::string_view request, const endpoint_answers& answers) {
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  const size_t space = line.find(' ');
  const std::string_view method = line.substr(0, space);
  std::string_view path;
  if (space != std::string_view::npos) {
    path = line.substr(space + 1);
    const size_t end = path.find_first_of(" ?");
    path = end == std::string_view::npos ? std::string_view() : path.substr(0, end);
  }
  if (path != "/metrics" && path != "/healthz" && path != "/readyz")
    return http("404 Not Found", text_type, "not found\n", false);
  const bool head = method == "HEAD";
  if (!head && method != "GET")
    return http("405 Method Not Allowed", text_type, "GET or HEAD only\n", false,
                "Allow: GET, HEAD\r\n");
  if (path == "/healthz") return health(answers.live(), "a worker is stuck\n", head);
  if (path == "/readyz") return health(answers.ready(), "not accepting\n", head);
  return http("200 OK", "text/plain; version=0.0.4; charset=utf-8", answers.metrics(), head);
}

metrics_endpoint::metrics_endpoint(unique_fd listener, endpoint_answers answers)
    : listener_(std::move(listener)), answers_(std::move(answers)) {}

bool metrics_endpoint::start(failure& why) {
  return wake_.open(why) && thread_.start<metrics_endpoint, &metrics_endpoint::run>(this, 0, why);
}

metrics_endpoint::~metrics_endpoint() {
  if (!thread_.running()) return;
  wake_.signal();
  thread_.join();
}

// No exception leaves the thread: without memory for its lists it ends, and
// the endpoint stops answering (a liveness probe then says so).
void metrics_endpoint::run() {
  try {
    serve();
  } catch (const std::bad_alloc&) {
    log_metrics_endpoint_stopped("malloc", ENOMEM);
  }
}

void metrics_endpoint::serve() {
  std::vector<scrape> scrapes;
  std::vector<pollfd> watched;
  scrapes.reserve(metrics_scrapes_at_once);
  watched.reserve(metrics_scrapes_at_once + 2);
  for (;;) {
    watched.clear();
    watched.push_back({wake_.fd(), POLLIN, 0});
    watched.push_back({listener_.get(), POLLIN, 0});
    auto next_deadline = steady::time_point::max();
    for (const scrape& s : scrapes) {
      watched.push_back({s.fd.get(), static_cast<short>(s.out.empty() ? POLLIN : POLLOUT), 0});
      next_deadline = std::min(next_deadline, s.deadline);
    }
    int timeout_ms = -1;
    if (!scrapes.empty())
      timeout_ms = static_cast<int>(std::max<long long>(
          0, std::chrono::ceil<std::chrono::milliseconds>(next_deadline - steady::now()).count()));
    if (poll(watched.data(), watched.size(), timeout_ms) < 0 && errno != EINTR) {
      log_metrics_endpoint_stopped("poll", errno);
      return;
    }
    if (watched[0].revents != 0) return;
    const auto now = steady::now();
    // Backwards, so that removing one leaves the others' indices alone.
    for (size_t i = scrapes.size(); i-- > 0;) {
      scrape& s = scrapes[i];
      const bool done = watched[i + 2].revents != 0 ? !step(s) : now >= s.deadline;
      if (done || now >= s.deadline) scrapes.erase(scrapes.begin() + static_cast<long>(i));
    }
    if (watched[1].revents != 0) take_scrapers(scrapes);
  }
}

// A burst at a time, so that scrapers wait in the backlog no longer than
// one turn of the loop.
void metrics_endpoint::take_scrapers(std::vector<scrape>& scrapes) {
  for (size_t i = 0; i < metrics_scrapes_at_once && take_scraper(scrapes); ++i) {
  }
}

bool metrics_endpoint::take_scraper(std::vector<scrape>& scrapes) {
  unique_fd client(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!client.valid()) {
    const int err = errno;
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      pollfd wake{wake_.fd(), POLLIN, 0};
      (void)poll(&wake, 1, 100);  // a scrape can wait; serving must not
    }
    return err == EINTR || err == ECONNABORTED;
  }
  if (scrapes.size() == metrics_scrapes_at_once) {
    const auto oldest =
        std::min_element(scrapes.begin(), scrapes.end(),
                         [](const scrape& a, const scrape& b) { return a.deadline < b.deadline; });
    scrapes.erase(oldest);
  }
  try {
    scrapes.push_back({std::move(client), steady::now() + request_deadline, {}, {}, 0});
  } catch (const std::bad_alloc&) {
    return false;  // this scrape is lost; the next one may fare better
  }
  return true;
}

// Moves one scrape on as far as its socket allows; false once it is over.
bool metrics_endpoint::step(scrape& s) {
  try {
    if (s.out.empty()) {
      char buf[1024];
      const ssize_t n = recv(s.fd.get(), buf, sizeof buf, 0);
      if (n < 0) return errno == EINTR || errno == EAGAIN;
      if (n == 0) return false;
      s.in.append(buf, static_cast<size_t>(n));
      if (!head_complete(s.in)) return s.in.size() < request_limit;
      s.out = metrics_response(s.in, answers_);
    }
    const ssize_t n = send(s.fd.get(), s.out.data() + s.sent, s.out.size() - s.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    s.sent += static_cast<size_t>(n);
    return s.sent < s.out.size();
  } catch (const std::bad_alloc&) {
    return false;  // this scrape is lost; the next one may fare better
  }
}

}  // namespace capecho
