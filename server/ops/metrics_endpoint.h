// GET /metrics, /healthz and /readyz (and HEAD of each) over HTTP on a
// listener of its own, answered by a thread of its own. Requests are served side by side, each
// within its own deadline and size limit: a slow or hostile scraper holds up neither serving nor a
// real scrape.
#ifndef CAPECHO_SERVER_METRICS_ENDPOINT_H
#define CAPECHO_SERVER_METRICS_ENDPOINT_H

#include <stddef.h>

#include <functional>
#include <string>
#include <string_view>

#include <vector>

#include "failure.h"
#include "owned_thread.h"
#include "unique_fd.h"

namespace capecho {

// Scrapes served at once: more than a crowd of slow or hostile scrapers
// holds, so a real one, which sends its request at once, is answered beside
// them. One that connects while all are taken displaces the one that has
// waited longest. Each holds a descriptor.
inline constexpr size_t metrics_scrapes_at_once = 256;

// Scrapers waiting to be taken, in the listener's backlog.
inline constexpr int metrics_backlog = 256;

// What the endpoint answers with, each asked on its thread.
struct endpoint_answers {
  std::function<std::string()> metrics;  // the exposition text
  std::function<bool()> live;            // every worker makes progress
  std::function<bool()> ready;           // new clients are welcome
};

// The response to one request: 200 or 503 for the paths above, 405 for
// another method on them, else 404. HEAD gets GET's head without its body.
std::string metrics_response(std::string_view request, const endpoint_answers& answers);

class metrics_endpoint {
 public:
  // Will answer on `listener` (non-blocking) once started.
  metrics_endpoint(unique_fd listener, endpoint_answers answers);
  ~metrics_endpoint();
  // Makes the wake-up descriptor and starts the thread; false, with the
  // failed call, if either cannot be had.
  bool start(failure& why);
  metrics_endpoint(const metrics_endpoint&) = delete;
  metrics_endpoint& operator=(const metrics_endpoint&) = delete;

 private:
  struct scrape;
  void run();
  void serve();
  void take_scrapers(std::vector<scrape>& scrapes);
  bool take_scraper(std::vector<scrape>& scrapes);
  bool step(scrape& s);

  unique_fd listener_;
  wake_up wake_;
  endpoint_answers answers_;
  owned_thread thread_;  // last: joined before the rest goes
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_METRICS_ENDPOINT_H
