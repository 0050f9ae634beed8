// Reports of access-log lines lost, kept bounded however many paths fail
// and however often.
//
// A path that cannot be opened or written is reported at its first failure,
// and then at most once per FAILURE_REPORTS_WINDOW_SECONDS whatever happens
// between its failures: while it keeps failing it is not reported again,
// and when it fails anew after working for a while, only once the window
// since its last report is over.  Up to FAILURE_REPORTS_REMEMBERED paths and
// FAILURE_REPORTS_REMEMBERED_BYTES of their names are remembered for this.
// A failure of a path that cannot be remembered (the record is full, or
// memory for it cannot be had) is reported at most FAILURE_REPORTS_PER_WINDOW
// times per window; the failures not reported are counted, and the count is
// reported once the window is over (at the next failure, the next read of
// input or the end, whichever comes first):
//   "Lost access log lines: N more failures not reported (too many failing paths)"
// Input lines skipped because they lack the two tags are counted, and the
// count is reported at the first such line, then at most once per window (at
// the next such line, the next read of input or the end), the count starting
// again after each report:
//   "Lost access log lines: N lines without host@@port@@ tags skipped"
// Every message goes through the diagnostic log at LOG_ERR.
#pragma once

#include <time.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

constexpr std::size_t FAILURE_REPORTS_REMEMBERED = 256;
constexpr std::size_t FAILURE_REPORTS_REMEMBERED_BYTES = 64 * 1024;
constexpr std::size_t FAILURE_REPORTS_PER_WINDOW = 10;
constexpr time_t FAILURE_REPORTS_WINDOW_SECONDS = 60;

// A remembered path: when it was last reported, and whether a line got
// through to it since.
struct failure_record {
  struct timespec reported_at;
  bool working;
};

struct failure_reports {
  std::map<std::string, failure_record, std::less<>> remembered;
  std::size_t remembered_bytes = 0;
  struct timespec window_start = {};  // of the reports of paths not remembered
  std::size_t reported_in_window = 0;
  std::size_t suppressed = 0;  // failures not reported in this window
  std::size_t untagged = 0;    // lines without tags not reported yet
  bool untagged_reported = false;
  struct timespec untagged_reported_at = {};
};

// True when `path` failed, was reported and has not worked since.
bool failure_reports_remembers(const failure_reports* reports, const char* path);

// Lines for `path` are being lost: "Lost access log lines: cannot <what>
// <path>: <reason>", within the bounds above.
void failure_reports_add(failure_reports* reports, const char* what, const char* path,
                         const char* reason);

// A line got through to `path`.
void failure_reports_recovered(failure_reports* reports, const char* path);

// An input line without its tags was skipped.
void failure_reports_untagged(failure_reports* reports);

// Reports the counts held back (failures not reported, lines without tags)
// when their window is over, or at once when `at_end`.
void failure_reports_flush(failure_reports* reports, bool at_end);
