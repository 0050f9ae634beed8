// Bounded waits: every wait of a test has a time limit, and the caller says
// what it waited for when the limit passes, e.g.
//   ASSERT_TRUE(harness::wait_until([&] { return ready(); }, 10s)) << "the server never listened";
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace harness {

// Polls `done` every 5 ms until it holds or `limit` has passed; returns
// whether it held.
template <typename Condition>
bool wait_until(Condition done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Waits up to `limit` for the child pid to end; its wait status, or -1 when
// it is still running (the caller decides whether to kill it).
inline int wait_for_exit(pid_t pid, std::chrono::milliseconds limit) {
  int status = -1;
  return wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit) ? status : -1;
}

// The same for a child that must not outlive the wait: still running at the
// limit, it is killed and reaped, and the result is -1.
inline int reap_within(pid_t pid, std::chrono::milliseconds limit) {
  int status = wait_for_exit(pid, limit);
  if (status == -1 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  return status;
}

}  // namespace harness
