// What sessreap's code writes to std::cerr and std::clog, captured in its
// unit tests, with its verbosity set for the while.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "session_reaper/in_use_scan.hpp"  // verbose

namespace harness {

// Redirects std::cerr and std::clog into strings for the life of the object
// and sets the verbosity; both are restored afterwards.
class captured_stderr {
 public:
  explicit captured_stderr(bool verbose_mode = false)
      : cerr_(std::cerr.rdbuf(err_.rdbuf())), clog_(std::clog.rdbuf(log_.rdbuf())) {
    verbose = verbose_mode;
  }
  ~captured_stderr() {
    std::cerr.rdbuf(cerr_);
    std::clog.rdbuf(clog_);
    verbose = false;
  }
  captured_stderr(const captured_stderr&) = delete;
  captured_stderr& operator=(const captured_stderr&) = delete;
  std::string err() const { return err_.str(); }
  std::string log() const { return log_.str(); }

 private:
  std::ostringstream err_, log_;
  std::streambuf* cerr_;
  std::streambuf* clog_;
};

}  // namespace harness
