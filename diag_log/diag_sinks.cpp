// The console and syslog sinks behind diag_log_write / diag_log_vwrite.
#include <strings.h>

#include <cstdio>

#include "diag_log/diag_log.hpp"
#include "diag_log/diag_state.hpp"

namespace {

// Size of the buffer a syslog message with a trace identifier is built in.
constexpr std::size_t TRACED_MESSAGE_SIZE = 8192;

bool destination_is(const char* name) { return strcasecmp(diag_destination, name) == 0; }

void print_line(std::FILE* stream, const char* format, va_list args) {
  std::vfprintf(stream, format, args);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void diag_console_vwrite(int priority, const char* format, va_list args) {
  // The whole priority is compared, facility bits included.
  if (priority > diag_threshold) return;
  bool both = diag_destination == nullptr || destination_is("console");
  if (!both && !destination_is("stderr")) return;
  va_list again;
  va_copy(again, args);
  print_line(stderr, format, args);
  if (both) print_line(stdout, format, again);
  va_end(again);
}

void diag_console_write(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  diag_console_vwrite(priority, format, args);
  va_end(args);
}

void diag_syslog_vwrite(int priority, const char* format, va_list args) {
  if (!(diag_options & DIAG_LOG_TRACE_ID) || diag_trace_id[0] == '\0') {
    vsyslog(priority, format, args);
    return;
  }
  char message[TRACED_MESSAGE_SIZE];
  int prefix = std::snprintf(message, sizeof message, "%s: ", diag_trace_id);
  std::vsnprintf(message + prefix, sizeof message - prefix, format, args);
  syslog(priority, "%s", message);
}

void diag_syslog_write(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  diag_syslog_vwrite(priority, format, args);
  va_end(args);
}
