// logroute under faults: every allocation refused in turn, a full file
// system, a log directory it may not write, a log directory removed while
// it runs, stop signals in the middle of a stream. In each case the lines
// routed before the fault stay whole in their files, the failure is
// reported once per failing path on both standard streams, and the lines
// that follow still route.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/logroute_run.hpp"
#include "harness/malloc_fail.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

namespace {

namespace fs = std::filesystem;
using harness::domain_log;
using harness::DOMAINS_DIR;
using harness::files_under;
using harness::SERVER_LOG;
using harness::wait_until;
using namespace std::chrono_literals;

std::string lost_report(const std::string& what, const std::string& path,
                        const std::string& error) {
  return harness::lost_at(what, path, error) + "\n";
}

void remove_files_under(const std::vector<std::string>& dirs) {
  for (const auto& [path, content] : files_under(dirs)) fs::remove(path);
}

// Takes from this process, and from every program it executes, the powers
// by which root passes over file permissions; the user stays root.
bool give_up_permission_override() {
  const int caps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
  for (int cap : caps)
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (int cap : caps) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
    data[cap / 32].permitted &= ~(1u << (cap % 32));
    data[cap / 32].inheritable &= ~(1u << (cap % 32));
  }
  return syscall(SYS_capset, &header, data) == 0;
}

class LogrouteFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!box.ok()) GTEST_SKIP() << box.why();
    box.make_dirs(DOMAINS_DIR + "/example.com/logs");
    box.make_dirs("/var/log/apache2");
  }
  harness::sandbox box;
};

// ---------------------------------------------------------------------------
// Allocations refused one by one.

struct tagged_line {
  std::string input;  // as sent
  std::string file;   // where its log line belongs
  std::string text;   // the log line, newline included
};

// The lines that a run which stops after the first `count` lines leaves in
// each file. (This and the two helpers below serve only the preloaded
// allocator's sweeps, which a sanitized build leaves out.)
[[maybe_unused]] std::map<std::string, std::string> first_lines(
    const std::vector<tagged_line>& lines, size_t count) {
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < count && i < lines.size(); ++i) files[lines[i].file] += lines[i].text;
  return files;
}

[[maybe_unused]] size_t line_count(const std::map<std::string, std::string>& files) {
  size_t n = 0;
  for (const auto& [path, content] : files)
    for (char c : content) n += c == '\n';
  return n;
}

// Splits text into its lines (without their newlines).
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

#if !defined(__SANITIZE_ADDRESS__)
// The sweep: each run refuses one more allocation than the last, until a run
// makes fewer allocations than the number refused. Every run ends with
// status 0 and every line in place, or with status 1 and the documented
// message, the lines before the fault whole in their files and nothing
// after them. Never a signal.
void sweep_allocation_failures(harness::sandbox& box, const char* mode, const std::string& input,
                               const std::vector<tagged_line>& lines,
                               const std::vector<std::string>& trees,
                               const std::vector<std::string>& allowed_messages,
                               const std::string& once_message) {
  const std::string report = "/tmp/malloc-fail.report";
  const std::string no_memory =
      "logroute: Cannot allocate memory: Cannot allocate memory\nSystem error 12: Cannot allocate "
      "memory";
  const std::string no_memory_for_message = "logroute: Can't allocate memory for error message";
  size_t refused_runs = 0, failed_runs = 0;
  for (size_t n = 1; n < 5000; ++n) {
    remove_files_under(trees);
    unlink(report.c_str());
    auto r = harness::run({LOGROUTE_PATH, "8443"},
                          {.env = harness::failing_allocator_env(n, mode, report), .input = input});
    bool refused = box.exists(report);
    std::string where = std::string("mode ") + mode + ", allocation " + std::to_string(n);
    ASSERT_EQ(r.signal, 0) << where << "\n" << r.err;
    ASSERT_TRUE(r.exit_status == 0 || r.exit_status == 1)
        << where << ": status " << r.exit_status << "\n"
        << r.err;
    EXPECT_EQ(r.out, r.err) << where;
    auto routed = files_under(trees);
    std::string messages = r.err;
    if (r.exit_status == 1) {
      ++failed_runs;
      // The last message says why; the lines before the fault are whole.
      size_t cut = messages.rfind(no_memory + "\n");
      if (cut == std::string::npos || cut + no_memory.size() + 1 != messages.size())
        cut = messages.rfind(no_memory_for_message + "\n");
      ASSERT_NE(cut, std::string::npos) << where << "\n" << r.err;
      messages.erase(cut);
      EXPECT_EQ(routed, first_lines(lines, line_count(routed))) << where;
    } else {
      EXPECT_EQ(routed, first_lines(lines, lines.size())) << where << "\n" << r.err;
    }
    // Nothing else is said, and the failing path at most once per refusal.
    size_t once = 0;
    for (const auto& m : lines_of(messages)) {
      if (m + "\n" == once_message) {
        ++once;
        continue;
      }
      bool allowed = false;
      for (const auto& a : allowed_messages) allowed = allowed || m == a;
      EXPECT_TRUE(allowed) << where << ": unexpected message \"" << m << "\"";
    }
    if (r.exit_status == 0) {
      EXPECT_GE(once, 1u) << where;
    }
    EXPECT_LE(once, refused ? 2u : 1u) << where;
    if (!refused) {
      EXPECT_EQ(r.exit_status, 0) << where;
      break;
    }
    ++refused_runs;
  }
  harness::expect_sweep_ended("logroute", mode, refused_runs, failed_runs, 5, 5000);
  if (std::string(mode) == "from") {
    EXPECT_GT(failed_runs, 0u);
  }
}

std::vector<tagged_line> sweep_lines(const std::string& vhosts, const std::string& server_log) {
  auto log = [&](const std::string& domain, bool ssl) {
    return vhosts + "/system/" + domain + "/logs/" + (ssl ? "access_ssl_log" : "access_log");
  };
  return {
      {"example.com@@80@@1\n", log("example.com", false), "1\n"},
      {"example.com@@80@@2\n", log("example.com", false), "2\n"},
      {"a.example.com@@443@@3\n", log("example.com", true), "3\n"},
      {"shop.example.com@@8443@@4\n", log("example.com", true), "4\n"},
      {"unknown.test@@80@@5\n", server_log, "5\n"},
      {"dir.test@@80@@lost\n", "", ""},
      {"example.com@@80@@6\n", log("example.com", false), "6\n"},
      {"dir.test@@80@@lost\n", "", ""},
      {"example.com@@80@@" + std::string(6000, '7') + "\n", log("example.com", false),
       std::string(6000, '7') + "\n"},
      {"unknown.test@@443@@8\n", server_log, "8\n"},
  };
}

// The whole input, and the lines of it that reach a file (dropped lines
// leave no trace, so the order is counted over these).
std::string input_of(const std::vector<tagged_line>& lines) {
  std::string input;
  for (const auto& l : lines) input += l.input;
  return input;
}
std::vector<tagged_line> kept_lines(const std::vector<tagged_line>& lines) {
  std::vector<tagged_line> kept;
  for (const auto& l : lines)
    if (!l.file.empty()) kept.push_back(l);
  return kept;
}
#endif

TEST_F(LogrouteFaults, EveryAllocationRefusedInTurnWithDefaults) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer brings its own allocator, which a preloaded one cannot
  // stand in front of; the default build runs this sweep.
  GTEST_SKIP() << "the failing allocator cannot be preloaded under AddressSanitizer";
#else
  box.make_dirs(domain_log("dir.test"));  // its log file is a directory: opens fail
  auto lines = sweep_lines("/var/www/vhosts", SERVER_LOG);
  const std::vector<std::string> allowed = {
      "Not enough memory to allocate Varek runtime configuration structure"};
  std::string once = lost_report("open", domain_log("dir.test"), "Is a directory");
  for (const char* mode : {"once", "from"}) {
    SCOPED_TRACE(mode);
    sweep_allocation_failures(box, mode, input_of(lines), kept_lines(lines),
                              {"/var/www", "/var/log"}, allowed, once);
  }
#endif
}

TEST_F(LogrouteFaults, EveryAllocationRefusedInTurnWithPanelConfiguration) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the failing allocator cannot be preloaded under AddressSanitizer";
#else
  // The configured tree only: a run that fell back to the defaults would
  // lose its lines (no such directories) and say so.
  box.write_file("/etc/vrk/vrk.conf",
                 "# panel\nHTTPD_VHOSTS_D /var/lib/vhosts\nHTTPD_LOG_D /var/log/httpd\n"
                 "PRODUCT_ROOT_D /opt/vrk\nDUMP_D /var/lib/vrk/dumps\n");
  fs::remove_all("/var/www/vhosts");
  fs::remove_all("/var/log/apache2");
  box.make_dirs("/var/lib/vhosts/system/example.com/logs");
  box.make_dirs("/var/lib/vhosts/system/dir.test/logs/access_log");
  box.make_dirs("/var/log/httpd");
  auto lines = sweep_lines("/var/lib/vhosts", "/var/log/httpd/access_log");
  const std::vector<std::string> allowed = {
      "Not enough memory to allocate Varek runtime configuration structure"};
  std::string once =
      lost_report("open", "/var/lib/vhosts/system/dir.test/logs/access_log", "Is a directory");
  for (const char* mode : {"once", "from"}) {
    SCOPED_TRACE(mode);
    sweep_allocation_failures(box, mode, input_of(lines), kept_lines(lines),
                              {"/var/lib/vhosts", "/var/log/httpd", "/var/www", "/var/log/apache2"},
                              allowed, once);
  }
#endif
}

// ---------------------------------------------------------------------------
// A full file system.

// Lines of `size` bytes, newline included, numbered from `first`.
std::string numbered_lines(const std::string& tag, int first, int count, size_t size) {
  std::string out;
  for (int i = first; i < first + count; ++i) {
    std::string text = tag + std::to_string(i) + " ";
    text.resize(size - 1, '.');
    out += text + "\n";
  }
  return out;
}

// Tags every line of text with the host and port.
std::string tagged(const std::string& vhost, const std::string& port, const std::string& text) {
  std::string out;
  for (const auto& l : lines_of(text)) out += vhost + "@@" + port + "@@" + l + "\n";
  return out;
}

TEST_F(LogrouteFaults, FullFileSystemKeepsWholeLinesReportsOnceAndRoutesTheRest) {
  box.mount_tmpfs(DOMAINS_DIR + "/full.test/logs", "size=64k");
  box.write_file(DOMAINS_DIR + "/full.test/logs/filler", std::string(32 * 1024, 'f'));
  harness::logroute lr(LOGROUTE_PATH);
  // 300 lines of 333 bytes: far more than the 32 KiB left.
  std::string full_lines = numbered_lines("full ", 0, 300, 333);
  std::string other_lines = numbered_lines("other ", 0, 300, 50);
  auto full = lines_of(full_lines);
  auto other = lines_of(other_lines);
  for (size_t i = 0; i < full.size(); ++i)
    ASSERT_TRUE(lr.send("full.test@@80@@" + full[i] + "\nexample.com@@80@@" + other[i] + "\n"));
  ASSERT_TRUE(
      wait_until([&] { return box.read_file(domain_log("example.com")) == other_lines; }, 20s));
  // Every line that got in is whole, in order; the rest were dropped.
  std::string stored = box.read_file(domain_log("full.test"));
  EXPECT_GT(stored.size(), 0u);
  EXPECT_LT(stored.size(), full_lines.size());
  EXPECT_EQ(stored, full_lines.substr(0, stored.size())) << "a line was cut";
  EXPECT_TRUE(stored.empty() || stored.back() == '\n') << "the file ends inside a line";
  std::string report = lost_report("write", domain_log("full.test"), "No space left on device");
  EXPECT_EQ(lr.err(), report);
  EXPECT_EQ(lr.out(), report);

  // Room again: the lines that follow get in whole, after the ones before.
  fs::remove(DOMAINS_DIR + "/full.test/logs/filler");
  std::string more = numbered_lines("more ", 0, 20, 100);
  ASSERT_TRUE(lr.send(tagged("full.test", "80", more) + "example.com@@80@@end\n"));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(box.read_file(domain_log("full.test")), stored + more);
  EXPECT_EQ(box.read_file(domain_log("example.com")), other_lines + "end\n");
  EXPECT_EQ(lr.err(), report);
}

// ---------------------------------------------------------------------------
// A log directory logroute may not write.
//
// logroute runs as root, and root passes over file permissions. The test
// takes that power (CAP_DAC_OVERRIDE and its kin) from the run, as a service
// manager's capability bounding set would, and leaves everything else as it
// is: same user, same files, same owners. A read-only mount (EROFS) is the
// other way root meets a refusal; the end-to-end suite covers it.

TEST_F(LogrouteFaults, LogDirectoryWithoutPermissionIsReportedOnceOthersStillRoute) {
  box.make_dirs(DOMAINS_DIR + "/locked.test/logs");
  chmod((DOMAINS_DIR + "/locked.test/logs").c_str(), 0555);
  box.make_dirs(DOMAINS_DIR + "/readonly.test/logs");
  box.write_file(domain_log("readonly.test"), "old\n", 0444);
  std::string input;
  for (int i = 0; i < 3; ++i)
    input += "example.com@@80@@" + std::to_string(i) +
             "\nlocked.test@@80@@lost\nreadonly.test@@80@@lost\n";
  input += "example.com@@80@@end\n";

  {
    harness::logroute lr(LOGROUTE_PATH, {.in_child = give_up_permission_override});
    ASSERT_TRUE(lr.send(input));
    EXPECT_EQ(lr.finish().exit_status, 0);
    EXPECT_EQ(box.read_file(domain_log("example.com")), "0\n1\n2\nend\n");
    EXPECT_FALSE(box.exists(domain_log("locked.test")));
    EXPECT_EQ(box.read_file(domain_log("readonly.test")), "old\n");
    std::string report = lost_report("open", domain_log("locked.test"), "Permission denied") +
                         lost_report("open", domain_log("readonly.test"), "Permission denied");
    EXPECT_EQ(lr.err(), report);
    EXPECT_EQ(lr.out(), report);
  }
  // The same run with root's powers intact writes both: the refusal above
  // came from the permissions alone.
  fs::remove(domain_log("example.com"));
  harness::logroute lr(LOGROUTE_PATH);
  ASSERT_TRUE(lr.send(input));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(box.read_file(domain_log("locked.test")), "lost\nlost\nlost\n");
  EXPECT_EQ(lr.err(), "");
}

// ---------------------------------------------------------------------------
// The log file's directory removed while logroute runs.

// The domain's logs directory goes while its file is open and its lines keep
// coming: what was written stays whole in the removed file, and the lines
// after the removal follow the rule for a domain without logs (the
// server-wide log) instead of vanishing into the removed file.
TEST_F(LogrouteFaults, DomainLogDirectoryRemovedWhileOpen) {
  box.make_dirs(DOMAINS_DIR + "/gone.test/logs");
  harness::logroute lr(LOGROUTE_PATH);
  ASSERT_TRUE(lr.send("gone.test@@80@@g1\ngone.test@@80@@g2\n"));
  ASSERT_TRUE(
      wait_until([&] { return box.read_file(domain_log("gone.test")) == "g1\ng2\n"; }, 20s));
  int removed_file = open(domain_log("gone.test").c_str(), O_RDONLY);
  ASSERT_GE(removed_file, 0);
  fs::remove_all(DOMAINS_DIR + "/gone.test/logs");
  ASSERT_TRUE(
      lr.send("gone.test@@80@@g3\ngone.test@@80@@g4\nexample.com@@80@@e1\ngone.test@@80@@g5\n"));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(harness::read_file("/proc/self/fd/" + std::to_string(removed_file)), "g1\ng2\n");
  close(removed_file);
  EXPECT_EQ(box.read_file(SERVER_LOG), "g3\ng4\ng5\n");
  EXPECT_EQ(box.read_file(domain_log("example.com")), "e1\n");
  EXPECT_EQ(lr.err(), "");
}

// The server-wide log directory goes (and comes back): the failure is
// reported once, the lines for other files still route, and once the
// directory is back its lines go there again.
TEST_F(LogrouteFaults, ServerLogDirectoryRemovedAndRestored) {
  harness::logroute lr(LOGROUTE_PATH);
  ASSERT_TRUE(lr.send("unknown.test@@80@@u1\n"));
  ASSERT_TRUE(wait_until([&] { return box.read_file(SERVER_LOG) == "u1\n"; }, 20s));
  int removed_file = open(SERVER_LOG.c_str(), O_RDONLY);
  ASSERT_GE(removed_file, 0);
  fs::remove_all("/var/log/apache2");
  ASSERT_TRUE(
      lr.send("unknown.test@@80@@lost 1\nunknown.test@@80@@lost 2\nexample.com@@80@@e1\n"
              "other.test@@80@@lost 3\nexample.com@@80@@e2\n"));
  ASSERT_TRUE(
      wait_until([&] { return box.read_file(domain_log("example.com")) == "e1\ne2\n"; }, 20s));
  std::string report = lost_report("open", SERVER_LOG, "No such file or directory");
  EXPECT_EQ(lr.err(), report);
  box.make_dirs("/var/log/apache2");
  ASSERT_TRUE(lr.send("unknown.test@@80@@u2\nexample.com@@80@@e3\n"));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(harness::read_file("/proc/self/fd/" + std::to_string(removed_file)), "u1\n");
  close(removed_file);
  EXPECT_EQ(box.read_file(SERVER_LOG), "u2\n");
  EXPECT_EQ(box.read_file(domain_log("example.com")), "e1\ne2\ne3\n");
  EXPECT_EQ(lr.err(), report);
  EXPECT_EQ(lr.out(), report);
}

// ---------------------------------------------------------------------------
// Many failing paths at once: a read-only /var/www with 300 domains.

TEST_F(LogrouteFaults, ManyFailingPathsGiveBoundedReports) {
  const int domains = 300, rounds = 3, remembered = 256, per_window = 10;
  for (int d = 0; d < domains; ++d)
    box.make_dirs(DOMAINS_DIR + "/d" + std::to_string(d) + ".test/logs");
  box.make_read_only("/var/www");
  std::string input, expected_log, expected_err;
  for (int round = 0; round < rounds; ++round) {
    for (int d = 0; d < domains; ++d) {
      input += "d" + std::to_string(d) + ".test@@80@@lost\nunknown.test@@80@@" +
               std::to_string(round * domains + d) + "\n";
      expected_log += std::to_string(round * domains + d) + "\n";
    }
  }
  // The first 256 paths once each; then 10 of the rest; then the count.
  for (int d = 0; d < remembered + per_window; ++d)
    expected_err +=
        lost_report("open", domain_log("d" + std::to_string(d) + ".test"), "Read-only file system");
  int suppressed = (domains - remembered) * rounds - per_window;
  expected_err += harness::LOST_LINES + std::to_string(suppressed) +
                  " more failures not reported (too many failing paths)\n";
  harness::logroute lr(LOGROUTE_PATH);
  ASSERT_TRUE(lr.send(input));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(box.read_file(SERVER_LOG), expected_log);
  EXPECT_EQ(lr.err(), expected_err);
  EXPECT_EQ(lr.out(), expected_err);
}

// ---------------------------------------------------------------------------
// Standard output and error closed (a test runner, cron): the reports go to
// /dev/null, never into a descriptor logroute opens for itself, and an idle
// input costs no CPU time.

TEST_F(LogrouteFaults, ClosedOutputStreamsKeepAnIdleInputCheap) {
  harness::logroute lr(LOGROUTE_PATH, {.in_child = [] { return close(1) == 0 && close(2) == 0; }});
  ASSERT_TRUE(lr.send("a line without tags: reported\n"));
  auto cpu_ticks = [&] {  // utime + stime: fields 14 and 15 of /proc/PID/stat
    std::string stat = harness::read_file("/proc/" + std::to_string(lr.pid()) + "/stat");
    std::istringstream from_field_3(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(from_field_3), {}};
    return std::stol(f.at(11)) + std::stol(f.at(12));
  };
  std::this_thread::sleep_for(200ms);
  long before = cpu_ticks();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_ticks() - before, 20) << "busy while its input is idle";
  ASSERT_TRUE(lr.send("example.com@@80@@routed\n"));
  EXPECT_EQ(lr.finish().exit_status, 0);
  EXPECT_EQ(box.read_file(domain_log("example.com")), "routed\n");
}

// ---------------------------------------------------------------------------
// Stop signals in the middle of a stream.

// Whatever the input and the output streams do, two stop signals (the
// second an administrator's) end logroute within a second or two, and a
// reader that left its standard output does not kill it: endless input
// (/dev/zero); a writer that never stops (what waited at the signal is
// routed in time, nothing reported lost); output streams whose pipe is
// full, so that a report blocks; output streams whose reader has gone
// (EPIPE).
TEST_F(LogrouteFaults, StopsPromptlyWhateverTheInputAndOutputDo) {
  enum class input { lines, zero, endless_writer };
  enum class output { file, full_pipe, closed_pipe };
  const struct {
    const char* what;
    input in;
    output out;
  } cases[] = {{"endless input", input::zero, output::file},
               {"endless writer", input::endless_writer, output::file},
               {"blocked report", input::lines, output::full_pipe},
               {"reader gone", input::lines, output::closed_pipe}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(domain_log("example.com"));
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (c.out == output::full_pipe) {
      fcntl(out[1], F_SETFL, O_NONBLOCK);
      while (write(out[1], "f", 1) == 1) {
      }
    }
    if (c.out == output::closed_pipe) close(out[0]);
    auto redirect = [&] {
      int input = c.in == input::zero ? open("/dev/zero", O_RDONLY) : in[0];
      bool to_pipe = c.out != output::file;
      return dup2(input, 0) == 0 && (!to_pipe || (dup2(out[1], 1) == 1 && dup2(out[1], 2) == 2)) &&
             fcntl(1, F_SETFL, 0) == 0;
    };
    harness::logroute lr(LOGROUTE_PATH, {.in_child = redirect});
    close(in[0]);
    close(out[1]);
    std::string lines = "example.com@@80@@1\nmissing.test@@80@@lost\nexample.com@@80@@2\n";
    box.make_dirs(DOMAINS_DIR + "/missing.test/logs/access_log");  // cannot be opened: reported
    if (c.in == input::lines) {
      ASSERT_EQ(write(in[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    }
    std::atomic<bool> writing(c.in == input::endless_writer);
    std::thread writer([&] {
      sigset_t pipe_signal;
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);  // EPIPE once logroute is gone
      std::string chunk;
      for (int i = 0; i < 100; ++i) chunk += "example.com@@80@@x\n";
      while (writing && write(in[1], chunk.data(), chunk.size()) > 0) {
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (c.out == output::closed_pipe) {
      close(in[1]);  // the end of input ends it, if EPIPE did not
      in[1] = -1;
    } else {
      kill(lr.pid(), SIGTERM);
      lr.stop_from_outside(SIGHUP);  // the second: the prompt stop
    }
    harness::run_result r = lr.finish(3s, false);
    writing = false;
    writer.join();
    EXPECT_NE(r.signal, SIGKILL) << "still running";
    // A report that cannot get out may leave the end to SIGALRM; nothing else.
    if (c.out == output::full_pipe) {
      EXPECT_TRUE(r.exit_status == 0 || r.signal == SIGALRM) << r.exit_status << " " << r.signal;
    } else {
      EXPECT_EQ(r.exit_status, 0) << r.signal;
    }
    if (c.out == output::closed_pipe) {
      EXPECT_EQ(box.read_file(domain_log("example.com")), "1\n2\n");
    }
    if (c.in == input::endless_writer) {
      std::string routed = box.read_file(domain_log("example.com"));
      EXPECT_GT(routed.size(), 0u);
      EXPECT_EQ(routed.find_first_not_of("x\n"), std::string::npos);
      EXPECT_EQ(routed.find("xx"), std::string::npos);
      EXPECT_EQ(lr.out() + lr.err(), "");
    }
    if (in[1] >= 0) close(in[1]);
    if (out[0] >= 0 && c.out != output::closed_pipe) close(out[0]);
    fs::remove_all(DOMAINS_DIR + "/missing.test");
  }
}

// A megabyte of lines over many hosts waits in the pipe; the stop signals
// (two or more, an administrator's: the prompt stop) come while logroute is
// busy routing them. Everything already in the pipe ends up in its file,
// whole and once, and logroute exits 0 although the pipe stays open.
TEST_F(LogrouteFaults, StopSignalsMidStreamLoseNothingInThePipe) {
  const int hosts = 50;
  for (int h = 0; h < hosts; ++h)
    box.make_dirs(DOMAINS_DIR + "/h" + std::to_string(h) + ".test/logs");
  for (int signals : {2, 20}) {
    SCOPED_TRACE(std::to_string(signals) + " signal(s)");
    remove_files_under({"/var/www", "/var/log"});
    std::string backlog;
    std::map<std::string, std::string> expected;
    for (int i = 0; backlog.size() < (1u << 20) - 200; ++i) {
      std::string host = "h" + std::to_string((i / 3) % hosts) + ".test";
      std::string text = "line " + std::to_string(i) + " " + std::string(i % 90, 'x') + "\n";
      backlog += host + "@@" + (i % 7 == 0 ? "443" : "80") + "@@" + text;
      expected[domain_log(host, i % 7 == 0)] += text;
    }
    harness::logroute lr(LOGROUTE_PATH, {.input = backlog});
    ASSERT_TRUE(wait_until([&] { return box.exists(domain_log("h0.test")); }, 20s));
    for (int s = 0; s < signals; ++s) lr.stop_from_outside(s % 2 ? SIGHUP : SIGTERM);
    harness::run_result r = lr.finish(60s, false);
    ASSERT_NE(r.signal, SIGKILL) << "still running with the pipe open";
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(files_under({"/var/www", "/var/log"}), expected);
    EXPECT_EQ(lr.err(), "");
  }
}

}  // namespace
