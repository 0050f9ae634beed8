// Child processes of a test: a program or a function run in a fork, with
// its standard input fed by the test and its output collected.
//
//   auto r = harness::run({PHPGATE_PATH}, {.env = {"VK_CUSTOM_PHP_CGI_INDEX=x"}});
//   EXPECT_EQ(r.exit_status, 0) << r.err;
//
//   auto r = harness::run([] { return function_that_exits(); });
//
//   harness::child lr({LOGROUTE_PATH}, {.out = "/tmp/out", .err = "/tmp/out"});
//   ASSERT_TRUE(lr.send("example.com@@80@@line\n"));
//   EXPECT_EQ(lr.finish(10s).exit_status, 0);
//
// Every wait has a limit: a child still running at it is killed, and its
// error output ends with a line that says so.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace harness {

struct run_options {
  std::vector<std::string> env = {};  // a program's whole environment (none when empty)
  // Standard input: this text, in the pipe before the child starts as far as
  // the pipe holds it, then what send() adds; finish() ends it.
  std::string input = {};
  std::string cwd = {};  // empty: the test's own
  // Standard output and error go to these files (made or emptied first; one
  // file when the same path); empty: collected in the result.
  std::string out = {};
  std::string err = {};
  // Run in the child after the redirections; false ends it with 124.
  std::function<bool()> in_child = {};
  std::chrono::milliseconds timeout = std::chrono::seconds(60);  // run()'s limit, and send()'s
};

struct run_result {
  int exit_status = -1;  // exit code, or -1 when a signal ended the child
  int signal = 0;        // the signal that ended it, or 0
  std::string out;       // what it wrote, when collected
  std::string err;
};

// This process's environment as "NAME=value" texts, to pass on or extend.
std::vector<std::string> current_environment();

// A running child; the destructor kills and reaps it.
class child {
 public:
  // Starts the program argv[0] (a path, or a name looked up in PATH) with
  // argv; returns once it runs, throws when it cannot be started.
  child(const std::vector<std::string>& argv, const run_options& options = {});
  // Runs body in a fork of this process; the child exits with body's result
  // unless body ends it first. Stdio buffers are flushed around it.
  child(const std::function<int()>& body, const run_options& options = {});
  ~child();
  child(const child&) = delete;
  child& operator=(const child&) = delete;

  pid_t pid() const { return pid_; }
  // Writes the whole text to the standard input, collecting output
  // meanwhile; false when the child no longer reads it within the timeout.
  bool send(const std::string& text);
  // Ends the standard input (unless close_input is false) and waits up to
  // limit for the child to end and its output to close.
  run_result finish(std::chrono::milliseconds limit, bool close_input = true);
  // Sends sig and finishes within 20 s; nothing once the child is finished.
  run_result stop(int sig);

 private:
  void start(const std::vector<std::string>* argv, const std::function<int()>* body);
  bool pump(std::chrono::steady_clock::time_point deadline, bool until_closed);

  run_options options_;
  std::string name_;     // for the messages
  std::string pending_;  // input not yet written
  pid_t pid_ = -1;
  int input_ = -1, out_ = -1, err_ = -1;
  run_result result_;
};

// Runs the program (under VAREK_E2E_WRAPPER, e.g. "valgrind -q", when it is
// one of this build's) or the function to its end, within options.timeout.
run_result run(const std::vector<std::string>& argv, const run_options& options = {});
run_result run(const std::function<int()>& body, const run_options& options = {});

// A lock that a holder takes on each of its files: an exclusive flock, as
// PHP's files handler takes, or a POSIX record lock (a read lock over the
// whole file).
enum class held_lock { none, flock, record };

// How a holder holds its files.
struct hold_options {
  held_lock lock = held_lock::none;
  uid_t uid = 0;              // the user (and group) it then runs as
  std::string first = {};     // a path it holds (O_PATH) ahead of them, not waited for
  bool leader_exits = false;  // its main thread then ends, another thread lives on
};

// A child that opens each path (read-only) and sleeps until it is killed;
// returns once all show in its threads' /proc/<pid>/task/<tid>/fd, locked
// and with its main thread gone as asked (throws when they do not within
// 10 s).
std::unique_ptr<child> hold_open(const std::vector<std::string>& paths,
                                 const hold_options& how = {});

}  // namespace harness
