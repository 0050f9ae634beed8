#include "log_router/failure_reports.hpp"

#include <cstring>
#include <new>
#include <string_view>

#include "diag_log/diag_log.hpp"

namespace {

struct timespec now() {
  struct timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool window_over(const failure_reports* reports, const struct timespec& at) {
  return at.tv_sec - reports->window_start.tv_sec >= FAILURE_REPORTS_WINDOW_SECONDS;
}

void report_suppressed(failure_reports* reports) {
  if (reports->suppressed == 0) return;
  diag_log_write(LOG_ERR,
                 "Lost access log lines: %zu more failures not reported (too many failing paths)",
                 reports->suppressed);
  reports->suppressed = 0;
}

bool remember(failure_reports* reports, const char* path) {
  std::size_t length = std::strlen(path);
  if (reports->remembered.size() >= FAILURE_REPORTS_REMEMBERED ||
      reports->remembered_bytes + length > FAILURE_REPORTS_REMEMBERED_BYTES)
    return false;
  try {
    reports->remembered.emplace(path, length);
  } catch (const std::bad_alloc&) {
    return false;  // reported within the rate instead
  }
  reports->remembered_bytes += length;
  return true;
}

// Whether a failure of a path that is not remembered may be reported now;
// counts it among the suppressed when not.
bool within_rate(failure_reports* reports) {
  struct timespec at = now();
  if (reports->reported_in_window == 0 || window_over(reports, at)) {
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

}  // namespace

bool failure_reports_remembers(const failure_reports* reports, const char* path) {
  return reports->remembered.find(std::string_view(path)) != reports->remembered.end();
}

void failure_reports_add(failure_reports* reports, const char* what, const char* path,
                         const char* reason) {
  if (failure_reports_remembers(reports, path)) return;
  if (!remember(reports, path) && !within_rate(reports)) return;
  diag_log_write(LOG_ERR, "Lost access log lines: cannot %s %s: %s", what, path, reason);
}

void failure_reports_recovered(failure_reports* reports, const char* path) {
  auto found = reports->remembered.find(std::string_view(path));
  if (found == reports->remembered.end()) return;
  reports->remembered_bytes -= found->size();
  reports->remembered.erase(found);
}

void failure_reports_flush(failure_reports* reports, bool at_end) {
  if (reports->suppressed == 0 || (!at_end && !window_over(reports, now()))) return;
  report_suppressed(reports);
  reports->reported_in_window = 0;  // the next failure opens a new window
}
