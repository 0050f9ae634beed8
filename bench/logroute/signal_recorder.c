// A stand-in piped logger for bench/apache_signals.sh: records every stop
// or job-control signal it gets (milliseconds since the epoch, the signal,
// its sender, si_code, whether the sender is the parent that started it,
// "(gone)" when that has exited, and whether the sender is in its process
// group) in PREFIX.PID.signals, and reads its input to its end.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int record = -1;
static pid_t parent = 0;  // the process that started it: Apache's parent

// Formats without stdio, which a signal handler may not use.
static char* put_number(char* at, long value) {
  char digits[24];
  int n = 0;
  if (value < 0) {
    *at++ = '-';
    value = -value;
  }
  do {
    digits[n++] = (char)('0' + value % 10);
  } while ((value /= 10) != 0);
  while (n > 0) *at++ = digits[--n];
  return at;
}

static char* put_text(char* at, const char* text) {
  while (*text) *at++ = *text++;
  return at;
}

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

static void note(int sig, siginfo_t* info, void* unused) {
  (void)unused;
  int saved = errno;
  char line[256], *at = line;
  at = put_text(at, "t=");
  at = put_number(at, now_ms());
  at = put_text(at, " SIG");
  at = put_text(at, sigabbrev_np(sig));
  at = put_text(at, " from=");
  at = put_number(at, info->si_pid);
  at = put_text(at, " code=");
  at = put_number(at, info->si_code);
  at = put_text(at, info->si_pid == parent ? " parent" : " not-parent");
  if (getppid() != parent) at = put_text(at, " (gone)");
  at = put_text(at, info->si_pid > 0 && getpgid(info->si_pid) == getpgrp() ? " same-group\n"
                                                                           : " other-group\n");
  if (write(record, line, (size_t)(at - line)) < 0) {
    // Nothing to do: the record is lost.
  }
  errno = saved;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  parent = getppid();
  char path[4096];
  snprintf(path, sizeof path, "%s.%d.signals", argv[1], (int)getpid());
  record = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (record < 0) return 1;
  const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGWINCH, SIGPIPE};
  for (size_t i = 0; i < sizeof signals / sizeof signals[0]; i++) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = note;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(signals[i], &action, NULL);
  }
  char buffer[65536];
  ssize_t got;
  while ((got = read(0, buffer, sizeof buffer)) != 0)
    if (got < 0 && errno != EINTR) break;
  char line[64];
  int n = snprintf(line, sizeof line, "t=%ld end of input\n", now_ms());
  if (write(record, line, (size_t)n) < 0) return 1;
  return 0;
}
