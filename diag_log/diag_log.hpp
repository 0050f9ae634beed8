// diag_log: the process-wide diagnostic log.
//
// Messages carry a syslog priority and go to the console (standard error,
// standard output, or both) or to syslog.  Callers always log through the
// two sink pointers diag_log_write and diag_log_vwrite, which start out
// pointing at the console sinks: before any diag_log_init, messages of
// priority up to 6 go to standard error and then to standard output.
//
// The console sinks compare the whole priority with the threshold, so a
// priority that carries facility bits (e.g. LOG_USER | LOG_WARNING) never
// reaches the console; the syslog sinks leave filtering to the syslog mask.
//
// The state is unlocked: set the facility up once, at start, before any
// other thread exists.
#pragma once

#include <syslog.h>

#include <cstdarg>

#define DIAG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Option-word bit (outside the openlog options): ask for a trace identifier.
constexpr int DIAG_LOG_TRACE_ID = 0x40;
// Level-argument bit: let VAREK_LOG_LEVEL raise the threshold.
constexpr int DIAG_LOG_LEVEL_FROM_ENV = 8;
// The option bits handed on to openlog.
constexpr int DIAG_LOG_OPENLOG_MASK = LOG_PID | LOG_CONS | LOG_PERROR;

// Environment variables read (and, for the trace id, written) by
// diag_log_init / diag_log_set_level.
constexpr const char* DIAG_ENV_LOG_LEVEL = "VAREK_LOG_LEVEL";
constexpr const char* DIAG_ENV_TRACE_ID = "VAREK_LOG_TRACE_ID";

typedef void (*diag_write_fn)(int priority, const char* format, ...) DIAG_PRINTF(2, 3);
typedef void (*diag_vwrite_fn)(int priority, const char* format, va_list args) DIAG_PRINTF(2, 0);

// The sinks callers use.  Initially diag_console_write / diag_console_vwrite.
extern diag_write_fn diag_log_write;
extern diag_vwrite_fn diag_log_vwrite;

// The program path, not owned; its base name prefixes the error exit's
// output.  Programs store argv[0] here first thing.  Null: no prefix.
extern const char* diag_program_path;

// A non-null destination selects console mode: "console" (both streams) or
// "stderr" (standard error only), compared without regard to case; any other
// name writes nothing.  The text is not copied and must outlive the log.
// A null destination selects syslog mode: (re)opens syslog with ident (or
// the program's short invocation name), options & DIAG_LOG_OPENLOG_MASK plus
// LOG_PID, and facility; with DIAG_LOG_TRACE_ID in options, messages are
// prefixed with a trace identifier taken from, or put into, VAREK_LOG_TRACE_ID.
// Ends by calling diag_log_set_level(level).
void diag_log_init(const char* destination, int level, int facility, int options,
                   const char* ident);

// Bits 0-2 of level give the threshold; with DIAG_LOG_LEVEL_FROM_ENV a
// VAREK_LOG_LEVEL of exactly one digit "0".."7" may raise it (never lower
// it).  In syslog mode also sets the syslog mask to LOG_UPTO(threshold).
void diag_log_set_level(int level);

// The option word of the last syslog-mode initialisation (LOG_PID before).
int diag_log_get_options();

// The sinks themselves; call them through diag_log_write / diag_log_vwrite.
void diag_console_write(int priority, const char* format, ...) DIAG_PRINTF(2, 3);
void diag_console_vwrite(int priority, const char* format, va_list args) DIAG_PRINTF(2, 0);
void diag_syslog_write(int priority, const char* format, ...) DIAG_PRINTF(2, 3);
void diag_syslog_vwrite(int priority, const char* format, va_list args) DIAG_PRINTF(2, 0);

// Prints the formatted message, followed by "\nSystem error %d: %s" when
// errno was non-zero at the call, prefixed with the program's base name, on
// standard error and then standard output; then ends the process with
// status.  Returns only when status is 0.  errno is kept as it was.
void diag_error_exit(int status, const char* format, ...) DIAG_PRINTF(2, 3);
void diag_error_exit_v(int status, const char* format, va_list args) DIAG_PRINTF(2, 0);

// Writes "<base name>: " (when diag_program_path is set), text, and a
// newline unless text ends with one, to standard error and then standard
// output, flushing each.  Ends the process when status is not 0; else 0.
int diag_print_message(const char* text, int status);
