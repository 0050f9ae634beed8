// The harness itself: private paths, syslog capture, process runs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/syslog_capture.hpp"
#include "harness/wait.hpp"

namespace {

TEST(sandbox, WritesStayInsideTheNamespace) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  box.write_file("/etc/vrk/harness-probe", "private\n");
  box.write_file("/var/www/vhosts/harness-probe", "private\n");
  EXPECT_EQ(box.read_file("/etc/vrk/harness-probe"), "private\n");
  // /proc/1/root resolves through the mount namespace of process 1, which
  // is the host's: the files must not exist there.
  EXPECT_FALSE(box.exists("/proc/1/root/etc/vrk/harness-probe"));
  EXPECT_FALSE(box.exists("/proc/1/root/var/www/vhosts/harness-probe"));
  EXPECT_TRUE(box.exists("/etc/passwd")) << "the host's /etc stays readable";
  EXPECT_TRUE(box.exists("/dev/null"));
  EXPECT_TRUE(std::filesystem::is_empty("/var/log")) << "the host's logging never shows";
}

TEST(sandbox, EachSandboxStartsFresh) {
  {
    harness::sandbox box;
    if (!box.ok()) GTEST_SKIP() << box.why();
    box.write_file("/etc/vrk/vrk.conf", "x\n");
  }
  harness::sandbox box;
  EXPECT_FALSE(box.exists("/etc/vrk/vrk.conf"));
}

TEST(syslog_capture, ReadsWhatGlibcSyslogSends) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  harness::syslog_capture capture;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    openlog("harness-probe", LOG_PID, LOG_USER);
    syslog(LOG_ERR, "first %d", 1);
    closelog();
    openlog("second-ident", 0, LOG_DAEMON);
    syslog(LOG_WARNING, "second: with colon");
    closelog();
    _exit(0);
  }
  ASSERT_NE(harness::reap_within(pid, std::chrono::seconds(10)), -1) << "the logging child hung";
  auto records = capture.drain(std::chrono::seconds(5));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].priority, LOG_USER | LOG_ERR);
  EXPECT_EQ(records[0].ident, "harness-probe");
  EXPECT_EQ(records[0].pid, pid);
  EXPECT_EQ(records[0].message, "first 1");
  EXPECT_EQ(records[1].priority, LOG_DAEMON | LOG_WARNING);
  EXPECT_EQ(records[1].ident, "second-ident");
  EXPECT_EQ(records[1].pid, 0);
  EXPECT_EQ(records[1].message, "second: with colon");
}

TEST(Run, PassesArgumentsEnvironmentAndStreams) {
  auto r = harness::run({"/bin/sh", "-c", "cat; echo \"$GREETING\" >&2; exit 3"},
                        {.env = {"GREETING=hello"}, .input = "input\n"});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "input\n");
  EXPECT_EQ(r.err, "hello\n");
}

TEST(Run, KillsAChildPastItsTimeout) {
  auto r = harness::run({"/bin/sleep", "30"}, {.timeout = std::chrono::milliseconds(200)});
  EXPECT_EQ(r.signal, SIGKILL);
}

TEST(HoldOpen, TheFileShowsInTheHoldersDescriptors) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  box.write_file("/tmp/held", "x");
  auto holder = harness::hold_open({"/tmp/held"});
  bool seen = false;
  for (int fd = 0; fd < 64 && !seen; ++fd) {
    char target[256] = {};
    std::string link = "/proc/" + std::to_string(holder->pid()) + "/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof target - 1) > 0)
      seen = std::string(target) == "/tmp/held";
  }
  EXPECT_TRUE(seen);
}

}  // namespace
