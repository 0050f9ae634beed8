// Console sinks, threshold and syslog mode of the diagnostic log.  Every
// case runs in a child process, since the log's state is process-wide.
#include "diag_log/diag_log.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/syslog_capture.hpp"

namespace {

using harness::run;
using harness::run_result;

struct console_case {
  const char* name;
  bool initialise;          // false: the built-in defaults
  const char* destination;  // for diag_log_init
  int priority;
  bool to_stderr;
  bool to_stdout;
};

// The whole priority is compared: facility bits keep a warning off the console.
const console_case CONSOLE_CASES[] = {
    {"DefaultsError", false, nullptr, LOG_ERR, true, true},
    {"DefaultsInfo", false, nullptr, LOG_INFO, true, true},
    {"DefaultsDebugIsAboveThreshold", false, nullptr, LOG_DEBUG, false, false},
    {"DefaultsFacilityWarning", false, nullptr, LOG_USER | LOG_WARNING, false, false},
    {"Console", true, "console", LOG_ERR, true, true},
    {"ConsoleMixedCase", true, "CoNsOlE", LOG_ERR, true, true},
    {"Stderr", true, "stderr", LOG_ERR, true, false},
    {"StderrUpperCase", true, "STDERR", LOG_WARNING, true, false},
    {"OtherName", true, "stdout", LOG_ERR, false, false},
    {"EmptyName", true, "", LOG_EMERG, false, false},
};

TEST(ConsoleSink, WritesToTheStreamsOfItsDestination) {
  for (const console_case& c : CONSOLE_CASES) {
    SCOPED_TRACE(c.name);
    run_result r = run([&] {
      if (c.initialise) diag_log_init(c.destination, LOG_INFO, LOG_USER, 0, nullptr);
      diag_log_write(c.priority, "%s %d", "message", 7);
      return 0;
    });
    ASSERT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, c.to_stderr ? "message 7\n" : "");
    EXPECT_EQ(r.out, c.to_stdout ? "message 7\n" : "");
  }
}

TEST(ConsoleSink, VwriteFormatsEachStreamFromItsOwnArguments) {
  run_result r = run([] {
    diag_log_write(LOG_ERR, "%s=%d %s", "a", 1, "b");
    diag_log_write(LOG_ERR, "second");
    return 0;
  });
  EXPECT_EQ(r.err, "a=1 b\nsecond\n");
  EXPECT_EQ(r.out, "a=1 b\nsecond\n");
}

// The highest severity that a console log configured with `level` writes,
// with VAREK_LOG_LEVEL set to env_value (or unset when null); -1 for none.
int console_threshold(int level, const char* env_value) {
  run_result r = run([&] {
    if (env_value != nullptr)
      setenv("VAREK_LOG_LEVEL", env_value, 1);
    else
      unsetenv("VAREK_LOG_LEVEL");
    diag_log_init("stderr", level, LOG_USER, 0, nullptr);
    for (int severity = 0; severity <= 7; severity++) diag_log_write(severity, "%d", severity);
    return 0;
  });
  if (r.exit_status != 0) return -2;
  return r.err.empty() ? -1 : r.err[r.err.size() - 2] - '0';
}

struct threshold_case {
  int level;
  const char* env_value;
  int expected;
};

constexpr int FROM_ENV = DIAG_LOG_LEVEL_FROM_ENV;

TEST(Threshold, EnvironmentCanOnlyRaiseIt) {
  for (const threshold_case& c : {threshold_case{3, nullptr, 3},
                                  {0, nullptr, 0},
                                  {7, nullptr, 7},
                                  {3 | FROM_ENV, "5", 5},
                                  {3 | FROM_ENV, "2", 3},
                                  {3 | FROM_ENV, "8", 3},
                                  {3 | FROM_ENV, "55", 3},
                                  {3 | FROM_ENV, "", 3},
                                  {3 | FROM_ENV, "5 ", 3},
                                  {0 | FROM_ENV, "7", 7},
                                  // Without the bit the variable is not read.
                                  {3, "7", 3},
                                  // Only bits 0 to 2 give the threshold.
                                  {0x10 | 2, nullptr, 2}})
    EXPECT_EQ(console_threshold(c.level, c.env_value), c.expected)
        << "level " << c.level << ", VAREK_LOG_LEVEL " << (c.env_value ? c.env_value : "unset");
}

TEST(Threshold, SetLevelAloneChangesTheConsoleThreshold) {
  run_result r = run([] {
    diag_log_set_level(LOG_DEBUG);
    diag_log_write(LOG_DEBUG, "debug");
    diag_log_set_level(LOG_ERR);
    diag_log_write(LOG_WARNING, "warning");
    diag_log_write(LOG_ERR, "error");
    return 0;
  });
  EXPECT_EQ(r.err, "debug\nerror\n");
}

TEST(Options, ConsoleInitialisationKeepsTheOptionWord) {
  run_result r = run([] {
    if (diag_log_get_options() != LOG_PID) return 1;
    diag_log_init("console", LOG_INFO, LOG_USER, DIAG_LOG_TRACE_ID | LOG_CONS, nullptr);
    return diag_log_get_options() == LOG_PID ? 0 : 2;
  });
  EXPECT_EQ(r.exit_status, 0);
}

// Syslog mode, checked against what reaches /dev/log inside a sandbox.
class SyslogMode : public testing::Test {
 protected:
  void SetUp() override {
    if (!box_.ok()) GTEST_SKIP() << box_.why();
    capture_ = std::make_unique<harness::syslog_capture>();
  }
  harness::sandbox box_;
  std::unique_ptr<harness::syslog_capture> capture_;
};

// Starts syslog mode as program "logroute" with the given options, logs
// `message` at LOG_ERR, and prints "<pid> <VAREK_LOG_TRACE_ID>".
run_result log_as_logroute(int options, const char* inherited_id, const std::string& message) {
  return run([&] {
    program_invocation_short_name = const_cast<char*>("logroute");
    if (inherited_id != nullptr)
      setenv("VAREK_LOG_TRACE_ID", inherited_id, 1);
    else
      unsetenv("VAREK_LOG_TRACE_ID");
    diag_log_init(nullptr, LOG_INFO, LOG_DAEMON, options, nullptr);
    diag_log_write(LOG_ERR, "%s", message.c_str());
    const char* id = getenv("VAREK_LOG_TRACE_ID");
    std::printf("%ld %s", static_cast<long>(getpid()), id ? id : "(unset)");
    return diag_log_get_options() == (options | LOG_PID) ? 0 : 1;
  });
}

TEST_F(SyslogMode, TraceIdIsMadeFromTheProgramInitialAndPid) {
  run_result r = log_as_logroute(DIAG_LOG_TRACE_ID, nullptr, "hello");
  ASSERT_EQ(r.exit_status, 0);
  std::string pid = r.out.substr(0, r.out.find(' '));
  EXPECT_EQ(r.out, pid + " L" + pid);
  auto records = capture_->drain(std::chrono::seconds(2));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "L" + pid + ": hello");
  EXPECT_EQ(records[0].priority, LOG_DAEMON | LOG_ERR);
  EXPECT_EQ(records[0].ident, "logroute");
  EXPECT_EQ(std::to_string(records[0].pid), pid);
}

TEST_F(SyslogMode, InheritedTraceIdIsCutAndLeftInTheEnvironment) {
  std::string inherited(100, 'x');
  run_result r = log_as_logroute(DIAG_LOG_TRACE_ID, inherited.c_str(), "hello");
  ASSERT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.substr(r.out.find(' ') + 1), inherited);
  auto records = capture_->drain(std::chrono::seconds(2));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string(63, 'x') + ": hello");
}

TEST_F(SyslogMode, EmptyInheritedTraceIdIsReplaced) {
  run_result r = log_as_logroute(DIAG_LOG_TRACE_ID, "", "hello");
  ASSERT_EQ(r.exit_status, 0);
  std::string pid = r.out.substr(0, r.out.find(' '));
  EXPECT_EQ(r.out, pid + " L" + pid);
}

TEST_F(SyslogMode, WithoutTheTraceBitMessagesGoUnchanged) {
  run_result r = log_as_logroute(0, "T1", "plain %s");
  ASSERT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.substr(r.out.find(' ') + 1), "T1");
  auto records = capture_->drain(std::chrono::seconds(2));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "plain %s");
}

TEST_F(SyslogMode, TracedMessageIsCutToItsBuffer) {
  std::string long_message(10000, 'm');
  run_result r = log_as_logroute(DIAG_LOG_TRACE_ID, "T1", long_message);
  ASSERT_EQ(r.exit_status, 0);
  auto records = capture_->drain(std::chrono::seconds(2));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "T1: " + std::string(8191 - 4, 'm'));
}

TEST_F(SyslogMode, MaskFiltersBySeverityOnly) {
  run_result r = run([] {
    diag_log_init(nullptr, LOG_WARNING, LOG_USER, 0, "tester");
    diag_log_write(LOG_INFO, "info");
    diag_log_write(LOG_USER | LOG_WARNING, "warning");
    diag_log_set_level(LOG_INFO);
    diag_log_write(LOG_INFO, "info again");
    diag_log_write(LOG_DEBUG, "debug");
    return 0;
  });
  ASSERT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out + r.err, "");
  auto records = capture_->drain(std::chrono::seconds(2));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "warning");
  EXPECT_EQ(records[0].ident, "tester");
  EXPECT_EQ(records[1].message, "info again");
}

}  // namespace
