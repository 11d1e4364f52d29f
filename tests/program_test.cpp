// The program "test", run by its path with standard output redirected.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unique_fd.h"

extern char** environ;

namespace {

struct outcome {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

std::string drain(int fd) {
  std::string s;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

// Runs the program with `args`; standard output is a pipe, closed (when
// stdout_path is "-") or the named file.
outcome run(std::vector<std::string> args, const std::string& stdout_path = "") {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_path == "-") {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (!stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_TRUNC, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);

  args.insert(args.begin(), GREETING_PROGRAM);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int spawned = posix_spawn(&pid, GREETING_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  outcome r;
  r.out = drain(out[0]);
  r.err = drain(err[0]);
  int status;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  return r;
}

TEST(Program, PrintsHelloWhateverTheArguments) {
  for (const auto& args : {std::vector<std::string>{}, {"--help"}, {"a", "b", "%s%n"}}) {
    const outcome r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\x48\x65\x6C\x6C\x6F\x0A");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Program, WritesExactlySixBytesToAFile) {
  char path[] = "/tmp/capecho-test-out-XXXXXX";
  const capecho_test::unique_fd fd(mkstemp(path));
  ASSERT_GE(fd, 0);
  const outcome r = run({"ignored"}, path);
  unlink(path);
  EXPECT_EQ(r.status, 0);
  char buf[16];
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(0, read(fd, buf, sizeof buf)))),
            "Hello\n");
}

TEST(Program, ReportsAnOutputThatCannotBeWritten) {
  const outcome closed = run({}, "-");
  EXPECT_EQ(closed.status, 1);
  EXPECT_EQ(closed.err, "test: write error: Bad file descriptor\n");

  const outcome full = run({}, "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "test: write error: No space left on device\n");
}

}  // namespace
