// Test helper: runs a piece of code in a forked child with its standard
// output and standard error captured, for code that changes process-wide
// state or ends the process.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace harness {

struct child_result {
  int exit_status = -1;  // exit code, or -1 when a signal ended the child
  std::string out;
  std::string err;
};

namespace detail {

// Reads both pipes until the child has closed them.
inline void drain(int out_fd, int err_fd, child_result& result) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_count--;
      }
    }
  }
}

}  // namespace detail

// Runs body in a child; the child exits with body's result unless body ends
// it first.  Stdio buffers are flushed before the fork and before the exit.
// A child still running after limit_seconds is ended by SIGALRM, and its
// error output ends with a line that says so.
inline child_result run_in_child(const std::function<int()>& body, unsigned limit_seconds = 30) {
  child_result result;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    return result;
  }
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    signal(SIGALRM, SIG_DFL);
    alarm(limit_seconds);
    int code = body();
    std::fflush(nullptr);
    _exit(code);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  detail::drain(out_pipe[0], err_pipe[0], result);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
    result.err +=
        "\nrun_in_child: still running after " + std::to_string(limit_seconds) + " s: ended\n";
  return result;
}

}  // namespace harness
