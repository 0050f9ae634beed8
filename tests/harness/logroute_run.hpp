// logroute in tests: the texts of its reports, and logroute (the built
// program, or a unit test's router in a fork of the test) started on a pipe
// that the test writes.
//
//   auto r = harness::run_logroute(LOGROUTE_PATH, "example.com@@80@@line\n");
//   EXPECT_EQ(r.err, harness::lost_at("open", path, "Permission denied") + "\n");
//
//   harness::logroute lr(LOGROUTE_PATH, {.args = {"8443"}});
//   ASSERT_TRUE(lr.send("example.com@@80@@line\n"));
//   lr.stop_from_outside(SIGTERM);
//   EXPECT_EQ(lr.finish().exit_status, 0);
//   EXPECT_EQ(lr.err(), "");
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "harness/process.hpp"

namespace harness {

// Every report of lines that logroute could not route starts so.
inline const std::string LOST_LINES = "Lost access log lines: ";

// "Lost access log lines: cannot WHAT PATH: ERROR"
inline std::string lost_at(const std::string& what, const std::string& path,
                           const std::string& error) {
  return LOST_LINES + "cannot " + what + " " + path + ": " + error;
}

// "Lost access log lines: N lines without host@@port@@ tags skipped"
inline std::string lost_untagged(std::size_t lines) {
  return LOST_LINES + std::to_string(lines) + " lines without host@@port@@ tags skipped";
}

struct logroute_options {
  std::vector<std::string> args = {};  // after the program's path
  std::string input = {};              // waiting in the pipe before it starts
  // Standard output and error go to these files (made or emptied first);
  // /tmp/logroute.out and /tmp/logroute.err by default.
  std::string out = "/tmp/logroute.out";
  std::string err = "/tmp/logroute.err";
  std::function<bool()> in_child = {};  // run in the child after the redirections
};

// logroute reading a pipe that the test writes (child::send); its parent is
// the test.
class logroute : public child {
 public:
  // The program at `program` (LOGROUTE_PATH).
  explicit logroute(const std::string& program, const logroute_options& options = {});
  // `router`, a function that routes standard input and returns the exit
  // status, in a fork of the test.
  explicit logroute(const std::function<int()>& router, const logroute_options& options = {});

  // What it has written to its standard output and error so far.
  std::string out() const;
  std::string err() const;
  // Sends a stop signal as an administrator does: from a process other
  // than its parent.
  void stop_from_outside(int sig) const;
  // Ends the input (unless close_input is false) and waits, killing it after
  // `limit`.
  run_result finish(std::chrono::milliseconds limit = std::chrono::seconds(60),
                    bool close_input = true);

 private:
  logroute_options options_;
};

// The program run to the end of `input`, its output collected (under
// VAREK_E2E_WRAPPER, as harness::run does).
run_result run_logroute(const std::string& program, const std::string& input,
                        const std::vector<std::string>& args = {});

}  // namespace harness
