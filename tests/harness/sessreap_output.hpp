// What sessreap's code writes to std::cerr, std::clog and std::cout,
// captured in its unit tests, with its verbosity set for the while.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "session_reaper/in_use_scan.hpp"  // verbose

namespace harness {

// Redirects std::cerr, std::clog and std::cout into strings for the life of
// the object and sets the verbosity; all are restored afterwards.
class captured_stderr {
 public:
  explicit captured_stderr(bool verbose_mode = false)
      : cerr_(std::cerr.rdbuf(err_.rdbuf())),
        clog_(std::clog.rdbuf(log_.rdbuf())),
        cout_(std::cout.rdbuf(out_.rdbuf())) {
    verbose = verbose_mode;
  }
  ~captured_stderr() {
    std::cerr.rdbuf(cerr_);
    std::clog.rdbuf(clog_);
    std::cout.rdbuf(cout_);
    verbose = false;
  }
  captured_stderr(const captured_stderr&) = delete;
  captured_stderr& operator=(const captured_stderr&) = delete;
  std::string err() const { return err_.str(); }
  std::string log() const { return log_.str(); }
  std::string out() const { return out_.str(); }

 private:
  std::ostringstream err_, log_, out_;
  std::streambuf* cerr_;
  std::streambuf* clog_;
  std::streambuf* cout_;
};

}  // namespace harness
