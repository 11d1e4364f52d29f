// The capecho protocol served the way asio serves TCP: async accept,
// read_some and write on one io_context run by one thread per core, its
// defaults kept (TCP_NODELAY off).
// Usage: capecho-asio-server PORT (0 = any free port). SIGTERM or SIGINT stops it.
#include <asio.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using asio::ip::tcp;

namespace {

constexpr char kGreeting[] = "Hello!!\n";  // sizeof includes the zero byte: 9 bytes

bool is_terminator(const char* b, std::size_t n) {
  return n >= 3 && b[0] == '.' && b[1] == '\r' && b[2] == '\n' && (n == 3 || b[3] == '\0');
}

// One connection; it lives as long as an operation of its own is pending, and
// its socket closes with it.
class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket) : socket_(std::move(socket)) {}

  void start() {
    asio::async_write(socket_, asio::buffer(kGreeting, sizeof kGreeting),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        if (!ec) self->read();
                      });
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buf_),
                            [self = shared_from_this()](std::error_code ec, std::size_t n) {
                              if (ec || is_terminator(self->buf_.data(), n))
                                return;  // EOF, error or terminator: close
                              for (std::size_t i = 0; i < n; ++i)
                                if (self->buf_[i] >= 'a' && self->buf_[i] <= 'z')
                                  self->buf_[i] = static_cast<char>(self->buf_[i] - 'a' + 'A');
                              asio::async_write(self->socket_, asio::buffer(self->buf_, n),
                                                [self](std::error_code ec2, std::size_t) {
                                                  if (!ec2) self->read();
                                                });
                            });
  }

  tcp::socket socket_;
  std::array<char, 1024> buf_;
};

void accept_next(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](std::error_code ec, tcp::socket socket) {
    if (!ec) std::make_shared<Session>(std::move(socket))->start();
    accept_next(acceptor);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const auto port = static_cast<unsigned short>(argc > 1 ? std::atoi(argv[1]) : 0);
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  std::fprintf(stderr, "listening on 127.0.0.1:%u\n",
               static_cast<unsigned>(acceptor.local_endpoint().port()));
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](std::error_code, int) { io.stop(); });
  accept_next(acceptor);

  std::vector<std::thread> threads;
  const unsigned n = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 1; i < n; ++i) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& t : threads) t.join();
}
