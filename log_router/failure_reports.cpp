#include "log_router/failure_reports.hpp"

#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "diag_log/diag_log.hpp"

namespace {

struct timespec now() {
  struct timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool window_over(const struct timespec& since, const struct timespec& at) {
  return at.tv_sec - since.tv_sec >= FAILURE_REPORTS_WINDOW_SECONDS;
}

void report_suppressed(failure_reports* reports) {
  if (reports->suppressed == 0) return;
  diag_log_write(LOG_ERR,
                 "Lost access log lines: %zu more failures not reported (too many failing paths)",
                 reports->suppressed);
  reports->suppressed = 0;
}

void report_untagged(failure_reports* reports, bool at_end) {
  if (reports->untagged == 0) return;  // the common case, at every read
  struct timespec at = now();
  if (!at_end && reports->untagged_reported && !window_over(reports->untagged_reported_at, at))
    return;
  diag_log_write(LOG_ERR, "Lost access log lines: %zu lines without host@@port@@ tags skipped",
                 reports->untagged);
  reports->untagged = 0;
  reports->untagged_reported = true;
  reports->untagged_reported_at = at;
}

void forget(failure_reports* reports, decltype(reports->remembered)::iterator found) {
  reports->remembered_bytes -= found->first.size();
  reports->remembered.erase(found);
}

// Makes room by forgetting the paths that work again and whose window is
// over: their next failure would be reported anyway.
void forget_recovered(failure_reports* reports, const struct timespec& at) {
  for (auto i = reports->remembered.begin(); i != reports->remembered.end();) {
    auto next = std::next(i);
    if (i->second.working && window_over(i->second.reported_at, at)) forget(reports, i);
    i = next;
  }
}

bool full(const failure_reports* reports, std::size_t length) {
  return reports->remembered.size() >= FAILURE_REPORTS_REMEMBERED ||
         reports->remembered_bytes + length > FAILURE_REPORTS_REMEMBERED_BYTES;
}

bool remember(failure_reports* reports, const char* path, const struct timespec& at) {
  std::size_t length = std::strlen(path);
  if (full(reports, length)) forget_recovered(reports, at);
  if (full(reports, length)) return false;
  try {
    reports->remembered.emplace(std::string(path, length), failure_record{at, false});
  } catch (const std::bad_alloc&) {
    return false;  // reported within the rate instead
  }
  reports->remembered_bytes += length;
  return true;
}

// Whether a failure of a path that is not remembered may be reported now;
// counts it among the suppressed when not.
bool within_rate(failure_reports* reports, const struct timespec& at) {
  if (reports->reported_in_window == 0 || window_over(reports->window_start, at)) {
    report_suppressed(reports);
    reports->window_start = at;
    reports->reported_in_window = 0;
  }
  if (reports->reported_in_window == FAILURE_REPORTS_PER_WINDOW) {
    ++reports->suppressed;
    return false;
  }
  ++reports->reported_in_window;
  return true;
}

// Whether a new failure of a remembered path is to be reported: only when
// it worked since and its window is over.
bool due_again(failure_record* record, const struct timespec& at) {
  bool due = record->working && window_over(record->reported_at, at);
  record->working = false;
  if (due) record->reported_at = at;
  return due;
}

}  // namespace

bool failure_reports_remembers(const failure_reports* reports, const char* path) {
  auto found = reports->remembered.find(std::string_view(path));
  return found != reports->remembered.end() && !found->second.working;
}

void failure_reports_add(failure_reports* reports, const char* what, const char* path,
                         const char* reason) {
  struct timespec at = now();
  auto found = reports->remembered.find(std::string_view(path));
  if (found != reports->remembered.end()) {
    if (!due_again(&found->second, at)) return;
  } else if (!remember(reports, path, at) && !within_rate(reports, at)) {
    return;
  }
  diag_log_write(LOG_ERR, "Lost access log lines: cannot %s %s: %s", what, path, reason);
}

void failure_reports_recovered(failure_reports* reports, const char* path) {
  auto found = reports->remembered.find(std::string_view(path));
  if (found == reports->remembered.end()) return;
  if (window_over(found->second.reported_at, now())) {
    forget(reports, found);
  } else {
    found->second.working = true;
  }
}

void failure_reports_untagged(failure_reports* reports) {
  ++reports->untagged;
  report_untagged(reports, false);
}

void failure_reports_flush(failure_reports* reports, bool at_end) {
  report_untagged(reports, at_end);
  if (reports->suppressed == 0 || (!at_end && !window_over(reports->window_start, now()))) return;
  report_suppressed(reports);
  reports->reported_in_window = 0;  // the next failure opens a new window
}
