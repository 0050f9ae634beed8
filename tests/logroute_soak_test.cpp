// logroute under load: millions of lines over thousands of virtual hosts
// through a pipe, every line in its file exactly once, memory flat and no
// descriptor left open; and two logroute processes appending to the same
// files at once without a line torn or mixed with another.
//
// The size comes from VAREK_SOAK_LINES (1 000 000 by default) and
// VAREK_SOAK_HOSTS (a thousandth of the lines by default), e.g.
//   VAREK_SOAK_LINES=10000000 ctest -L soak
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/logroute_run.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

namespace {

namespace fs = std::filesystem;
using harness::domain_log;
using harness::DOMAINS_DIR;
using harness::read_file;
using namespace std::chrono_literals;

size_t env_size(const char* name, size_t fallback) {
  const char* value = getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return std::strtoull(value, nullptr, 10);
}

// A "Name:   value kB" field of /proc/<pid>/status, in kB; -1 when absent.
long status_kb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  return -1;
}

// The descriptors a process holds, with what each leads to.
std::vector<std::pair<int, std::string>> open_descriptors(pid_t pid) {
  std::vector<std::pair<int, std::string>> fds;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    fds.emplace_back(std::stoi(entry.path().filename().string()),
                     fs::read_symlink(entry.path(), ec).string());
  std::sort(fds.begin(), fds.end());
  return fds;
}

// logroute reading a pipe; its standard output and error go to one file.
std::unique_ptr<harness::logroute> piped_logroute(const std::string& output) {
  return std::make_unique<harness::logroute>(
      LOGROUTE_PATH, harness::logroute_options{.out = output, .err = output});
}

// ---------------------------------------------------------------------------
// Millions of lines over thousands of hosts.

// Line i belongs to run i / 3; runs go round the hosts with a stride that
// is prime to their number, so every host comes up and consecutive runs
// differ. Every fifth run is SSL.
struct soak_plan {
  size_t lines;
  size_t hosts;
  size_t host_of(size_t i) const { return (i / 3 * 7919) % hosts; }
  bool ssl_of(size_t i) const { return i / 3 % 5 == 0; }
  static std::string host_name(size_t h) { return "v" + std::to_string(h) + ".test"; }
  // The log line, newline included.
  static std::string text(size_t i) {
    std::string t =
        "L" + std::to_string(i) + " 127.0.0.1 - - \"GET /" + std::string(i % 61, 'p') + "\" 200\n";
    return t;
  }
  std::string tagged(size_t i) const {
    return host_name(host_of(i)) + (ssl_of(i) ? "@@443@@" : "@@80@@") + text(i);
  }
};

// Checks one log file against the plan: every line whole, of this file, in
// order. Returns the number of lines, or -1 after reporting a failure.
long check_log(const soak_plan& plan, size_t host, bool ssl, const std::string& content) {
  long count = 0;
  long previous = -1;
  size_t at = 0;
  while (at < content.size()) {
    size_t nl = content.find('\n', at);
    if (nl == std::string::npos) {
      ADD_FAILURE() << soak_plan::host_name(host) << ": last line without newline";
      return -1;
    }
    std::string line = content.substr(at, nl + 1 - at);
    at = nl + 1;
    long i = line[0] == 'L' ? std::strtol(line.c_str() + 1, nullptr, 10) : -1;
    if (i < 0 || static_cast<size_t>(i) >= plan.lines || line != soak_plan::text(i) ||
        plan.host_of(i) != host || plan.ssl_of(i) != ssl || i <= previous) {
      ADD_FAILURE() << soak_plan::host_name(host) << (ssl ? " ssl" : "") << ": line \"" << line
                    << "\" after line " << previous;
      return -1;
    }
    previous = i;
    ++count;
  }
  return count;
}

TEST(LogrouteSoak, EveryLineOnceMemoryFlatNoDescriptorLeft) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  soak_plan plan{env_size("VAREK_SOAK_LINES", 1000000), 0};
  plan.hosts = env_size("VAREK_SOAK_HOSTS", std::max<size_t>(plan.lines / 1000, 1));
  for (size_t h = 0; h < plan.hosts; ++h)
    box.make_dirs(DOMAINS_DIR + "/" + soak_plan::host_name(h) + "/logs");
  box.make_dirs(DOMAINS_DIR + "/marker.test/logs");
  box.make_dirs("/var/log/apache2");

  auto logger = piped_logroute("/tmp/logroute.out");
  harness::logroute& lr = *logger;
  auto started = std::chrono::steady_clock::now();
  // Resident memory once a tenth of the lines is through, and at the end.
  long hwm_early = -1;
  std::vector<size_t> per_file(plan.hosts * 2, 0);
  std::string chunk;
  for (size_t i = 0; i < plan.lines; ++i) {
    chunk += plan.tagged(i);
    ++per_file[plan.host_of(i) * 2 + plan.ssl_of(i)];
    if (chunk.size() >= 65536 || i + 1 == plan.lines) {
      ASSERT_TRUE(lr.send(chunk)) << "logroute stopped reading at line " << i;
      chunk.clear();
    }
    if (i + 1 == plan.lines / 10) hwm_early = status_kb(lr.pid(), "VmHWM");
  }
  // A last line of its own: once it is in, everything before it is routed.
  ASSERT_TRUE(lr.send("marker.test@@80@@done\n"));
  ASSERT_TRUE(
      harness::wait_until([&] { return read_file(domain_log("marker.test", false)) == "done\n"; },
                          std::chrono::seconds(600)));
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  long hwm_end = status_kb(lr.pid(), "VmHWM");
  long rss_end = status_kb(lr.pid(), "VmRSS");
  auto fds = open_descriptors(lr.pid());
  harness::run_result r = lr.finish(std::chrono::seconds(60));
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file("/tmp/logroute.out"), "");

  // Standard streams, the two ends of the pipe that wakes the wait for
  // input at a stop signal, and the marker's log, still the open key.
  std::vector<std::string> open_files;
  for (const auto& [fd, file] : fds) open_files.push_back(file);
  std::string wake_pipe = fds.size() > 3 ? fds[3].second : "";
  std::vector<std::string> expected_files = {fds.empty() ? "" : fds[0].second,
                                             "/tmp/logroute.out",
                                             "/tmp/logroute.out",
                                             wake_pipe,
                                             wake_pipe,
                                             domain_log("marker.test", false)};
  EXPECT_EQ(open_files, expected_files);
  EXPECT_EQ(wake_pipe.rfind("pipe:", 0), 0u);

  size_t total = 0;
  for (size_t h = 0; h < plan.hosts; ++h) {
    for (bool ssl : {false, true}) {
      std::string path = domain_log(soak_plan::host_name(h), ssl);
      long count = per_file[h * 2 + ssl] == 0 && !fs::exists(path)
                       ? 0
                       : check_log(plan, h, ssl, read_file(path));
      ASSERT_EQ(count, static_cast<long>(per_file[h * 2 + ssl])) << path;
      total += static_cast<size_t>(count);
    }
  }
  EXPECT_EQ(total, plan.lines);
  EXPECT_FALSE(fs::exists("/var/log/apache2/access_log"));

#if !defined(__SANITIZE_ADDRESS__)
  // Memory stays flat: the peak after all lines is the peak after a tenth,
  // within a little slack for the C library's own buffers. (AddressSanitizer
  // holds freed blocks back in its quarantine, so the figure means nothing
  // there.)
  EXPECT_LE(hwm_end, hwm_early + 512)
      << "peak RSS grew from " << hwm_early << " kB to " << hwm_end << " kB";
#endif
  std::cout << "soak: " << plan.lines << " lines, " << plan.hosts << " hosts, " << seconds
            << " s, peak RSS " << hwm_early << " kB after a tenth, " << hwm_end
            << " kB at the end (RSS " << rss_end << " kB), " << fds.size()
            << " descriptors open at the end" << std::endl;
  RecordProperty("lines", std::to_string(plan.lines));
  RecordProperty("peak_rss_kb", std::to_string(hwm_end));
}

// ---------------------------------------------------------------------------
// Two loggers appending to the same files.

// Line i of writer w: its length varies from a few bytes to a few
// kilobytes, so that lines often straddle the 4 KiB reads of the loggers.
std::string writer_text(int w, size_t i) {
  size_t length = (i * 2654435761u) % 3000;
  return "W" + std::to_string(w) + " L" + std::to_string(i) + " " +
         std::string(length, static_cast<char>('a' + i % 26)) + "\n";
}

TEST(LogrouteSoak, TwoLoggersOnTheSameFilesNeverTearOrMixLines) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  const int hosts = 8;
  const size_t lines = env_size("VAREK_SOAK_LINES", 1000000) / 10;
  for (int h = 0; h < hosts; ++h)
    box.make_dirs(DOMAINS_DIR + "/s" + std::to_string(h) + ".test/logs");
  box.make_dirs("/var/log/apache2");

  auto host_of = [](size_t i) { return static_cast<int>(i / 4 % hosts); };
  std::vector<std::unique_ptr<harness::logroute>> loggers;
  for (int w = 0; w < 2; ++w)
    loggers.push_back(piped_logroute("/tmp/logroute" + std::to_string(w) + ".out"));
  std::vector<std::thread> writers;
  std::atomic<bool> sent_all[2] = {false, false};
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      std::string chunk;
      for (size_t i = 0; i < lines; ++i) {
        chunk += "s" + std::to_string(host_of(i)) + ".test@@80@@" + writer_text(w, i);
        if (chunk.size() >= 32768 || i + 1 == lines) {
          if (!loggers[w]->send(chunk)) return;
          chunk.clear();
        }
      }
      sent_all[w] = true;
    });
  }
  for (auto& t : writers) t.join();
  for (int w = 0; w < 2; ++w) {
    EXPECT_TRUE(sent_all[w]);
    EXPECT_EQ(loggers[w]->finish(std::chrono::seconds(300)).exit_status, 0);
    EXPECT_EQ(read_file("/tmp/logroute" + std::to_string(w) + ".out"), "");
  }

  // Every line whole, each writer's lines in order, each exactly once.
  size_t seen[2] = {0, 0};
  for (int h = 0; h < hosts; ++h) {
    std::string content = read_file(domain_log("s" + std::to_string(h) + ".test", false));
    long previous[2] = {-1, -1};
    size_t at = 0, bad = 0;
    while (at < content.size()) {
      size_t nl = content.find('\n', at);
      ASSERT_NE(nl, std::string::npos) << "s" << h << ": ends inside a line";
      std::string line = content.substr(at, nl + 1 - at);
      at = nl + 1;
      int w = line.size() > 3 && line[0] == 'W' ? line[1] - '0' : -1;
      long i = w >= 0 && w < 2 ? std::strtol(line.c_str() + 4, nullptr, 10) : -1;
      if (i < 0 || static_cast<size_t>(i) >= lines || line != writer_text(w, i) ||
          host_of(i) != h || i <= previous[w]) {
        if (++bad <= 3)
          ADD_FAILURE() << "s" << h << ": torn or misplaced line \"" << line.substr(0, 80) << "\"";
        continue;
      }
      previous[w] = i;
      ++seen[w];
    }
    EXPECT_EQ(bad, 0u) << "s" << h;
  }
  EXPECT_EQ(seen[0], lines);
  EXPECT_EQ(seen[1], lines);
}

}  // namespace
