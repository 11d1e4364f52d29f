// The real capecho-server binary, started for one test and always reaped.
#ifndef CAPECHO_TESTS_SERVER_PROCESS_H
#define CAPECHO_TESTS_SERVER_PROCESS_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace capecho_test {

struct spawn_setup {
  std::string shell_prefix;   // run by /bin/sh before exec, e.g. "ulimit -n 64;"
  int stdin_fd = -1;          // becomes descriptor 0
  int fd3 = -1;               // becomes descriptor 3 (socket activation)
  int stderr_pipe_bytes = 0;  // shrinks the standard error pipe, to stall it sooner
  std::string program = SERVER_PROGRAM;
};

// The arguments to listen on a free loopback port, then `extra`.
inline std::vector<std::string> listen_args(std::vector<std::string> extra = {}) {
  extra.insert(extra.begin(), {"--listen", "127.0.0.1:0"});
  return extra;
}

// True when nothing arrives on fd for `ms` milliseconds.
inline bool nothing_arrives(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

// Polls `probe` every 50 ms until it holds; false once `limit` has passed.
// The limit only bounds a failure, so it leaves room for a slow machine.
template <typename Probe>
bool eventually(Probe probe, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  for (const auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end; usleep(50000))
    if (probe()) return true;
  return false;
}

// A listening socket on 127.0.0.1 with a free port, as a service manager
// would pass it; -1 on failure.
inline int loopback_listener(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

// Hands `listener` to the server as descriptor 3 with LISTEN_FDS/LISTEN_PID.
inline spawn_setup socket_activation(int listener, const std::string& more_shell = "") {
  spawn_setup s;
  s.fd3 = listener;
  s.shell_prefix = "LISTEN_FDS=1 LISTEN_PID=$$; export LISTEN_FDS LISTEN_PID;" + more_shell;
  return s;
}

class server_process {
 public:
  explicit server_process(const std::vector<std::string>& args, const spawn_setup& setup = {}) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return;
    err_ = err[0];
    if (setup.stderr_pipe_bytes > 0) fcntl(err[0], F_SETPIPE_SZ, setup.stderr_pipe_bytes);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (setup.stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, setup.stdin_fd, 0);
    if (setup.fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, setup.fd3, 3);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv{"/bin/sh", "-c", setup.shell_prefix + " exec \"$@\"", "sh",
                                  setup.program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
  }

  ~server_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  pid_t pid() const { return pid_; }

  // Reads standard error until a line contains `text`; false after `limit`.
  bool wait_for_log(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (log_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // The port of the first "listening on" line, or 0.
  int port() {
    if (!wait_for_log("listening on ")) return 0;
    const size_t at = log_.find("listening on ");
    const size_t colon = log_.find_first_of('\n', at);
    const std::string line = log_.substr(at, colon - at);
    return std::stoi(line.substr(line.rfind(':') + 1));
  }

  void signal(int sig) { kill(pid_, sig); }

  // The exit status, -1 if it did not exit by itself within `limit`. With
  // `reading` false standard error is left unread while waiting, as a stalled
  // log reader would.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(15), bool reading = true) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (reading)
        read_some(20);
      else
        usleep(20000);
    }
    return -1;
  }

  const std::string& log() const { return log_; }

  // Stops reading standard error for good, as a log reader that went away.
  void close_log() {
    if (err_ >= 0) close(err_);
    err_ = -1;
  }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{err_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    char buf[4096];
    const ssize_t n = read(err_, buf, sizeof buf);
    if (n <= 0) return false;
    log_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int err_ = -1;
  std::string log_;
};

// How many threads a process has, or -1.
inline int threads_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// How many memory mappings a process has.
inline size_t mappings_of(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  size_t n = 0;
  for (std::string line; std::getline(maps, line);) ++n;
  return n;
}

// How many of a process's descriptors link to `target`, such as
// "anon_inode:[eventpoll]"; -1 when they cannot be listed.
inline int descriptors_linked_to(pid_t pid, const std::string& target) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  // readdir is safe on a DIR of one's own; readdir_r is the deprecated one.
  // cppcheck-suppress readdirCalled
  while (const dirent* e = readdir(d)) {
    char link[256];
    const ssize_t len = readlink((dir + "/" + e->d_name).c_str(), link, sizeof link);
    n += len > 0 && target == std::string(link, static_cast<size_t>(len));
  }
  closedir(d);
  return n;
}

// The number logged right after `text`, such as a port; 0 if never logged.
inline int port_after(server_process& server, const std::string& text) {
  if (!server.wait_for_log(text)) return 0;
  const std::string& log = server.log();
  return static_cast<int>(std::strtol(log.c_str() + log.find(text) + text.size(), nullptr, 10));
}

}  // namespace capecho_test

#endif  // CAPECHO_TESTS_SERVER_PROCESS_H
