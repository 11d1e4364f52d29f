// capecho-server on Unix-domain sockets: its own socket file (mode, stale
// files, removal) and one passed by a service manager.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "server_process.h"
#include "session_helpers.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;

namespace {

class temp_dir {
 public:
  temp_dir() {
    char name[] = "/tmp/capecho-unix-XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~temp_dir() {
    if (!path_.empty()) (void)system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

sockaddr_un address_of(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  path.copy(a.sun_path, sizeof a.sun_path - 1);
  return a;
}

// A Unix-domain stream socket bound to `path`, listening or not.
unique_fd bound_socket(const std::string& path, bool listening) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un a = address_of(path);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      (listening && listen(fd.get(), 8) != 0))
    fd.reset();
  return fd;
}

// A client connected to `path` with bounded waits that has read its greeting.
unique_fd greeted_client(const std::string& path) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{5, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_un a = address_of(path);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      read_exactly(fd.get(), greeting.size()) != greeting)
    fd.reset();
  return fd;
}

// True once the server has closed a client that sent nothing.
bool ended_by_server(int fd) {
  char byte = 0;
  return readable(fd, std::chrono::seconds(15)) && recv(fd, &byte, 1, 0) == 0;
}

bool is_socket_file(const std::string& path, mode_t* mode = nullptr) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  if (mode != nullptr) *mode = st.st_mode & 07777;
  return true;
}

// Whatever the umask, the file is 0660; sessions are served, and a silent
// one ends at the idle time-out (its socket got the time-outs, though a
// Unix-domain connection does not inherit them from its listener: without
// them its worker would wait in one read for good); a client without an
// address is named in the session line and counted in the metrics; the
// file is gone after a stop.
TEST(UnixSocket, ServesEndsIdleSessionsAndRemovesItsFile) {
  const temp_dir dir;
  const std::string path = dir.path() + "/echo.sock";
  spawn_setup setup;
  setup.shell_prefix = "umask 0;";
  server_process server(
      {"--listen", "unix:" + path, "--idle-timeout", "1", "--verbose", "--metrics", "127.0.0.1:0"},
      setup);
  ASSERT_TRUE(server.wait_for_log("listening on unix:" + path)) << server.log();
  mode_t mode = 0;
  ASSERT_TRUE(is_socket_file(path, &mode));
  EXPECT_EQ(mode, 0660u);
  const unique_fd idle = greeted_client(path);
  ASSERT_TRUE(idle.valid()) << server.log();
  {
    const unique_fd busy = greeted_client(path);
    ASSERT_TRUE(busy.valid());
    ASSERT_TRUE(send_record(busy.get(), "over unix\n"));
    EXPECT_EQ(read_exactly(busy.get(), 10), "OVER UNIX\n");
  }
  EXPECT_TRUE(ended_by_server(idle.get())) << server.log();
  EXPECT_TRUE(server.wait_for_log("session local ")) << server.log();
  const int metrics_port = port_after(server, "metrics on http://127.0.0.1:");
  ASSERT_GT(metrics_port, 0) << server.log();
  EXPECT_TRUE(eventually([&] {
    const std::string m = scrape(metrics_port);
    return m.find("\ncapecho_session_duration_seconds_count 2\n") != std::string::npos &&
           m.find("\ncapecho_received_bytes_total 0\n") != std::string::npos;
  })) << scrape(metrics_port);
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
  EXPECT_FALSE(is_socket_file(path));
}

// A socket file nobody listens on is replaced; a live one or a file of
// another kind is left alone and the server does not start.
TEST(UnixSocket, ReplacesOnlyAStaleSocketFile) {
  const temp_dir dir;
  const std::string stale = dir.path() + "/stale.sock";
  ASSERT_TRUE(bound_socket(stale, false).valid());
  ASSERT_TRUE(is_socket_file(stale));
  {
    server_process server({"--listen", "unix:" + stale});
    ASSERT_TRUE(server.wait_for_log("listening on unix:" + stale)) << server.log();
    EXPECT_TRUE(greeted_client(stale).valid());
  }

  const std::string live = dir.path() + "/live.sock";
  const unique_fd holder = bound_socket(live, true);
  ASSERT_TRUE(holder.valid());
  server_process second({"--listen", "unix:" + live});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.log().find("another process listens on"), std::string::npos) << second.log();
  EXPECT_TRUE(is_socket_file(live));

  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "keep me";
  server_process third({"--listen", "unix:" + plain});
  EXPECT_EQ(third.wait_exit(), 1);
  EXPECT_NE(third.log().find("is not a socket"), std::string::npos) << third.log();
  std::string kept;
  std::getline(std::ifstream(plain), kept);
  EXPECT_EQ(kept, "keep me");
}

// A Unix-domain listener from a service manager: its sessions get their
// time-outs alike, and its file, the manager's, is left in place at exit.
TEST(UnixSocket, ServesAnInheritedUnixListener) {
  const temp_dir dir;
  const std::string path = dir.path() + "/activated.sock";
  const unique_fd fd = bound_socket(path, true);
  ASSERT_TRUE(fd.valid());
  server_process server({"--idle-timeout", "1"}, socket_activation(fd.get()));
  ASSERT_TRUE(server.wait_for_log("listening on unix:" + path)) << server.log();
  const unique_fd idle = greeted_client(path);
  ASSERT_TRUE(idle.valid());
  EXPECT_TRUE(ended_by_server(idle.get())) << server.log();
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.log();
  EXPECT_TRUE(is_socket_file(path));
}

}  // namespace
