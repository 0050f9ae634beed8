#include "log_router/input_stream.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Set by the signal handler; the only state a handler may safely touch.
volatile sig_atomic_t stop_signal_seen = 0;
// The signal mask to wait with: the one in force before setup.
sigset_t waiting_mask;

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

void note_stop_signal(int) { stop_signal_seen = 1; }

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : STOP_SIGNALS) sigaddset(&set, sig);
  return set;
}

// Waits until fd is readable (or at its end) or a stop signal arrives; the
// stop signals are let in only for the duration of the wait.
int wait_for_input(int fd) {
  struct pollfd pfd = {fd, POLLIN, 0};
  const struct timespec* forever = nullptr;
  return ppoll(&pfd, 1, forever, &waiting_mask);
}

// True when a read of fd would not block.
int input_ready_now(int fd) {
  struct pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, 0);
}

}  // namespace

int input_stream_setup() {
  sigset_t stops = stop_signal_set();
  if (sigprocmask(SIG_BLOCK, &stops, &waiting_mask) != 0) return -1;
  for (int sig : STOP_SIGNALS) sigdelset(&waiting_mask, sig);
  struct sigaction action = {};
  action.sa_handler = note_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : STOP_SIGNALS)
    if (sigaction(sig, &action, nullptr) != 0) return -1;
  return 0;
}

bool input_stream_stopping() { return stop_signal_seen != 0; }

ssize_t input_read(int fd, char* buffer, std::size_t size) {
  for (;;) {
    int ready = input_stream_stopping() ? input_ready_now(fd) : wait_for_input(fd);
    if (ready < 0 && errno == EINTR) continue;  // a stop signal: drain from now on
    if (ready < 0) return -1;
    if (ready == 0) return 0;  // stopping and the pipe is empty
    ssize_t n = read(fd, buffer, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}
