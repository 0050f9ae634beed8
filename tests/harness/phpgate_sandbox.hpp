// phpgate's end-to-end tests: a sandbox with a syslog capture, and runs of
// the built program whose stand-in PHP executable reports what it was
// started with.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "harness/fixed_paths.hpp"
#include "harness/php_registry.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/syslog_capture.hpp"

namespace harness {

inline constexpr const char* RECORD_PATH = "/tmp/php-standin.record";

// What the stand-in PHP executable recorded; `ran` is false when it was not
// started at all.
struct standin_record {
  bool ran = false;
  pid_t pid = 0;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::vector<std::string> streams;  // what descriptors 0, 1, 2 were at its start
};

struct gate_run {
  harness::run_result result;
  std::vector<harness::syslog_record> log;
  standin_record php;
};

inline standin_record parse_standin_record(const std::string& raw) {
  standin_record r;
  r.ran = true;
  size_t at = 0;
  while (at < raw.size()) {
    size_t end = raw.find('\0', at);
    std::string entry = raw.substr(at, end - at);
    at = end == std::string::npos ? raw.size() : end + 1;
    if (entry.size() < 2) continue;
    std::string value = entry.substr(2);
    if (entry[0] == 'P')
      r.pid = static_cast<pid_t>(std::stol(value));
    else if (entry[0] == 'A')
      r.argv.push_back(value);
    else if (entry[0] == 'E')
      r.env.push_back(value);
    else if (entry[0] == 'F')
      r.streams.push_back(value);
  }
  return r;
}

class PhpgateSandbox : public testing::Test {
 protected:
  void SetUp() override {
    if (!box_.ok()) GTEST_SKIP() << box_.why();
    syslog_.emplace();
  }

  void write_registry(const std::string& document) { box_.write_file(PHP_REGISTRY, document); }

  gate_run run_gate(const std::vector<std::string>& env, const std::string& stdin_data = "",
                    const std::vector<std::string>& argv = {PHPGATE_PATH}) {
    unlink(RECORD_PATH);
    gate_run run;
    run.result = harness::run(argv, {.env = env, .input = stdin_data});
    run.log = syslog_->drain(std::chrono::milliseconds(0));
    if (box_.exists(RECORD_PATH)) run.php = parse_standin_record(box_.read_file(RECORD_PATH));
    return run;
  }

  // phpgate-check for the identifier and the ini that `env` gives phpgate,
  // started with `argv` in front (setpriv's, say).
  harness::run_result run_check(const std::vector<std::string>& env,
                                std::vector<std::string> argv = {}) {
    std::string id = "cgi";
    std::optional<std::string> ini;
    for (auto e = env.rbegin(); e != env.rend(); ++e) {  // the first one counts
      if (e->rfind("VK_CUSTOM_PHP_CGI_INDEX=", 0) == 0) id = e->substr(24);
      if (e->rfind("VK_CUSTOM_PHP_INI=", 0) == 0) ini = e->substr(18);
    }
    argv.insert(argv.end(), {PHPGATE_CHECK_PATH, "--", id});
    if (ini) argv.push_back(*ini);
    return harness::run(argv, {.env = {"PATH=/usr/bin:/bin"}});
  }

  harness::sandbox box_;
  std::optional<harness::syslog_capture> syslog_;
};

// What phpgate-check prints on standard error for the messages ("ident|text")
// that phpgate logs.
inline std::string check_output(const std::vector<std::string>& messages) {
  std::string out;
  for (const std::string& m : messages) out += "phpgate: " + m.substr(m.find('|') + 1) + "\n";
  return out;
}

// Messages of a run as "ident|message" for comparison in one piece; every
// one must also carry LOG_USER | LOG_ERR and the process id of the run.
inline std::vector<std::string> messages_of(const gate_run& run) {
  std::vector<std::string> texts;
  for (const harness::syslog_record& record : run.log) {
    EXPECT_EQ(record.priority, 8 + 3) << record.raw;
    EXPECT_GT(record.pid, 0) << record.raw;
    EXPECT_EQ(record.pid, run.log.front().pid) << record.raw;
    texts.push_back(record.ident + "|" + record.message);
  }
  return texts;
}

}  // namespace harness
