// Reports of access-log lines lost because a log file could not be opened or
// written, kept bounded however many paths fail.
//
// Each failing path is reported once and then remembered until a line gets
// through to it again, for up to FAILURE_REPORTS_REMEMBERED paths and
// FAILURE_REPORTS_REMEMBERED_BYTES of their names.  A failure of a path that
// cannot be remembered (the record is full, or memory for it cannot be had)
// is reported at most FAILURE_REPORTS_PER_WINDOW times per window of
// FAILURE_REPORTS_WINDOW_SECONDS; the failures not reported are counted, and
// the count is reported once the window is over (at the next failure, the
// next read of input or the end, whichever comes first):
//   "Lost access log lines: N more failures not reported (too many failing paths)"
// Every message goes through the diagnostic log at LOG_ERR.
#pragma once

#include <time.h>

#include <cstddef>
#include <functional>
#include <set>
#include <string>

constexpr std::size_t FAILURE_REPORTS_REMEMBERED = 256;
constexpr std::size_t FAILURE_REPORTS_REMEMBERED_BYTES = 64 * 1024;
constexpr std::size_t FAILURE_REPORTS_PER_WINDOW = 10;
constexpr time_t FAILURE_REPORTS_WINDOW_SECONDS = 60;

struct failure_reports {
  std::set<std::string, std::less<>> remembered;  // reported, not working again yet
  std::size_t remembered_bytes = 0;
  struct timespec window_start = {};  // of the reports of paths not remembered
  std::size_t reported_in_window = 0;
  std::size_t suppressed = 0;  // failures not reported in this window
};

// True when `path` failed, was reported and has not worked since.
bool failure_reports_remembers(const failure_reports* reports, const char* path);

// Lines for `path` are being lost: "Lost access log lines: cannot <what>
// <path>: <reason>", once per remembered path, else within the rate.
void failure_reports_add(failure_reports* reports, const char* what, const char* path,
                         const char* reason);

// A line got through to `path`: its next failure is reported again.
void failure_reports_recovered(failure_reports* reports, const char* path);

// Reports the count of failures not reported when their window is over, or
// at once when `at_end`.
void failure_reports_flush(failure_reports* reports, bool at_end);
