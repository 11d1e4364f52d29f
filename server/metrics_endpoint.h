// GET /metrics over HTTP on a listener of its own, answered by a thread of
// its own. A few requests are served side by side, each within its own
// deadline and size limit: a slow or hostile scraper holds up neither
// serving nor a real scrape.
#ifndef CAPECHO_SERVER_METRICS_ENDPOINT_H
#define CAPECHO_SERVER_METRICS_ENDPOINT_H

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace capecho {

// The response to one request: what `render` makes for GET /metrics, else 404.
std::string metrics_response(std::string_view request, const std::function<std::string()>& render);

class metrics_endpoint {
 public:
  // Starts answering on `listener` (non-blocking); throws std::system_error
  // when the thread or its wake-up descriptor cannot be made.
  metrics_endpoint(unique_fd listener, std::function<std::string()> render);
  ~metrics_endpoint();
  metrics_endpoint(const metrics_endpoint&) = delete;
  metrics_endpoint& operator=(const metrics_endpoint&) = delete;

 private:
  struct scrape;
  void run();
  void take_scraper(std::vector<scrape>& scrapes);
  bool step(scrape& s);

  unique_fd listener_;
  unique_fd wake_;
  std::function<std::string()> render_;
  std::thread thread_;
};

}  // namespace capecho

#endif  // CAPECHO_SERVER_METRICS_ENDPOINT_H
