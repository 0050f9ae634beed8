// Process-wide state of the diagnostic log, its initialisation and threshold.
#include "diag_log/diag_log.hpp"

#include <errno.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag_log/diag_state.hpp"

int diag_options = LOG_PID;
int diag_facility = 0;
int diag_threshold = LOG_INFO;
const char* diag_destination = nullptr;
char diag_trace_id[DIAG_TEXT_SIZE] = "";
char diag_ident[DIAG_TEXT_SIZE] = "";

diag_write_fn diag_log_write = diag_console_write;
diag_vwrite_fn diag_log_vwrite = diag_console_vwrite;
const char* diag_program_path = nullptr;

namespace {

// Copies at most DIAG_TEXT_SIZE - 1 characters of src, always terminated.
void copy_text(char (&dst)[DIAG_TEXT_SIZE], const char* src) {
  std::snprintf(dst, sizeof dst, "%s", src);
}

// Reads VAREK_LOG_LEVEL: its digit when it is exactly one of "0".."7", else -1.
int level_from_env() {
  const char* value = std::getenv(DIAG_ENV_LOG_LEVEL);
  if (value == nullptr || value[0] < '0' || value[0] > '7' || value[1] != '\0') return -1;
  return value[0] - '0';
}

// Takes the trace identifier from the environment, or makes one from the
// program's initial and the process id and publishes it for child processes.
void set_up_trace_id() {
  const char* inherited = std::getenv(DIAG_ENV_TRACE_ID);
  if (inherited != nullptr && inherited[0] != '\0') {
    copy_text(diag_trace_id, inherited);
    return;
  }
  unsigned char initial = static_cast<unsigned char>(program_invocation_short_name[0]);
  std::snprintf(diag_trace_id, sizeof diag_trace_id, "%c%ld", std::toupper(initial),
                static_cast<long>(getpid()));
  setenv(DIAG_ENV_TRACE_ID, diag_trace_id, 1);
}

void open_syslog_mode(int options, const char* ident) {
  closelog();
  diag_options = options | LOG_PID;
  copy_text(diag_ident, ident != nullptr ? ident : program_invocation_short_name);
  if (diag_options & DIAG_LOG_TRACE_ID) set_up_trace_id();
  openlog(diag_ident, diag_options & DIAG_LOG_OPENLOG_MASK, diag_facility);
  diag_log_write = diag_syslog_write;
  diag_log_vwrite = diag_syslog_vwrite;
}

}  // namespace

void diag_log_init(const char* destination, int level, int facility, int options,
                   const char* ident) {
  diag_facility = facility;
  diag_destination = destination;
  if (destination != nullptr) {
    diag_log_write = diag_console_write;
    diag_log_vwrite = diag_console_vwrite;
  } else {
    open_syslog_mode(options, ident);
  }
  diag_log_set_level(level);
}

void diag_log_set_level(int level) {
  int threshold = level & 7;
  if (level & DIAG_LOG_LEVEL_FROM_ENV) {
    int from_env = level_from_env();
    if (from_env > threshold) threshold = from_env;
  }
  diag_threshold = threshold;
  if (diag_destination == nullptr) setlogmask(LOG_UPTO(threshold));
}

int diag_log_get_options() { return diag_options; }
