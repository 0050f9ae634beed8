#include "log_router/input_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Set by the signal handlers; the only state a handler may safely touch.
volatile sig_atomic_t stop_signals_seen = 0;  // counted up to 2
volatile sig_atomic_t drain_out_of_time = 0;
// The process that started logroute, as it was at the setup: Apache's
// parent may send its second signal just before it exits, and logroute's
// parent is then another.
pid_t parent_pid = 0;
// When the parent's last stop signal came (the stop handler's alone: the
// stop signals are blocked while it runs).
bool parent_signalled = false;
struct timespec parent_signalled_at = {};
// Written by the stop handler, so that a wait for input ends even when the
// signal comes between the test of the flag and the wait.
int wake_pipe[2] = {-1, -1};

// The drain: whether it has begun, and the bytes still to read of those
// that were waiting in the input then.
bool draining = false;
std::size_t drain_left = 0;

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

void arm_alarm(long milliseconds) {
  struct itimerval timer = {};
  timer.it_value.tv_sec = milliseconds / 1000;
  timer.it_value.tv_usec = milliseconds % 1000 * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

bool sent_by_parent(const siginfo_t* info) {
  bool sent = info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
  return sent && info->si_pid > 0 && info->si_pid == parent_pid;
}

// True for a signal of the parent's that follows its previous one within
// INPUT_PARENT_PAIR_MS: the second of its pair.
bool second_of_parents_pair(const siginfo_t* info) {
  if (!sent_by_parent(info)) return false;
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long since = (now.tv_sec - parent_signalled_at.tv_sec) * 1000 +
               (now.tv_nsec - parent_signalled_at.tv_nsec) / 1000000;
  bool pair = parent_signalled && since < INPUT_PARENT_PAIR_MS;
  parent_signalled = true;
  parent_signalled_at = now;
  return pair;
}

// The first stop signal is only counted; the second starts the prompt stop.
void note_stop_signal(int, siginfo_t* info, void*) {
  int saved = errno;
  if (second_of_parents_pair(info)) {
    errno = saved;
    return;
  }
  int seen = stop_signals_seen;
  if (seen < 2) stop_signals_seen = seen + 1;
  if (seen == 1) {
    arm_alarm(INPUT_DRAIN_LIMIT_MS);
    if (write(wake_pipe[1], "", 1) < 0) {
      // Full already: the wait ends anyway.
    }
  }
  errno = saved;
}

// The first alarm ends the drain; the second, left to its default action,
// ends the program.
void note_alarm(int) {
  int saved = errno;
  if (!drain_out_of_time) {
    drain_out_of_time = 1;
    struct sigaction fatal = {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGALRM, &fatal, nullptr);
    arm_alarm(INPUT_STOP_BACKSTOP_MS);
  }
  errno = saved;
}

int install(int sig, struct sigaction* action) {
  sigemptyset(&action->sa_mask);
  for (int stop : STOP_SIGNALS) sigaddset(&action->sa_mask, stop);  // counted one at a time
  return sigaction(sig, action, nullptr);
}

int handle(int sig, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  return install(sig, &action);
}

int handle_with_sender(int sig, void (*handler)(int, siginfo_t*, void*), int flags) {
  struct sigaction action = {};
  action.sa_sigaction = handler;
  action.sa_flags = flags | SA_SIGINFO;
  return install(sig, &action);
}

// Waits until fd is readable (or at its end): 1; or until the prompt stop:
// 0 (or -1 with EINTR).
int wait_for_input(int fd) {
  struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
  int ready = poll(fds, 2, -1);
  if (ready <= 0) return ready;
  return fds[0].revents != 0 ? 1 : 0;
}

// True when a read of fd would not block.
int input_ready_now(int fd) {
  struct pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, 0);
}

// What the input holds now: a pipe's or a socket's unread bytes; for other
// input, nothing is taken to be waiting.
std::size_t bytes_waiting(int fd) {
  struct stat st;
  int count = 0;
  if (fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return 0;
  if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

// Reads of the bytes left to drain, without waiting.
ssize_t read_waiting(int fd, char* buffer, std::size_t size) {
  while (drain_left > 0) {
    int ready = input_ready_now(fd);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready;
    ssize_t n = read(fd, buffer, std::min(size, drain_left));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n > 0) drain_left -= static_cast<std::size_t>(n);
    return n;
  }
  return 0;
}

ssize_t drain_read(int fd, char* buffer, std::size_t size) {
  if (!draining) {
    draining = true;
    drain_left = bytes_waiting(fd);
  }
  if (drain_out_of_time) return 0;
  return read_waiting(fd, buffer, size);
}

}  // namespace

int input_stream_setup() {
  parent_pid = getppid();
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  for (int sig : STOP_SIGNALS)
    if (handle_with_sender(sig, note_stop_signal, SA_RESTART) != 0) return -1;
  if (handle(SIGALRM, note_alarm, 0) != 0 || handle(SIGPIPE, SIG_IGN, 0) != 0) return -1;
  // Signals the parent left blocked would never arrive.
  sigset_t ours;
  sigemptyset(&ours);
  for (int sig : STOP_SIGNALS) sigaddset(&ours, sig);
  sigaddset(&ours, SIGALRM);
  return sigprocmask(SIG_UNBLOCK, &ours, nullptr);
}

bool input_stream_stopping() { return stop_signals_seen >= 2; }

bool input_stream_out_of_time() { return drain_out_of_time != 0; }

ssize_t input_read(int fd, char* buffer, std::size_t size) {
  for (;;) {
    if (input_stream_stopping()) return drain_read(fd, buffer, size);
    int ready = wait_for_input(fd);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) continue;  // the prompt stop: drain from now on
    ssize_t n = read(fd, buffer, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

ssize_t input_read_left(int fd, char* buffer, std::size_t size) {
  return read_waiting(fd, buffer, size);
}
