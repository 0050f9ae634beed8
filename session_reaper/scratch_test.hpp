// Helpers for the session reaper's unit tests: a scratch directory and
// capture of what the code writes to the standard error streams.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "session_reaper/verbose.hpp"

namespace test_support {

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/sessreap-test-XXXXXX";
    path_ = std::filesystem::canonical(mkdtemp(tmpl)).string();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name, const std::string& content = "s") const {
    std::string p = path_ + "/" + name;
    std::ofstream(p) << content;
    return p;
  }

 private:
  std::string path_;
};

// Redirects std::cerr and std::clog into strings for the life of the object
// and sets the verbosity; both are restored afterwards.
class CapturedStderr {
 public:
  explicit CapturedStderr(bool verbose_mode = false)
      : cerr_(std::cerr.rdbuf(err_.rdbuf())), clog_(std::clog.rdbuf(log_.rdbuf())) {
    verbose = verbose_mode;
  }
  ~CapturedStderr() {
    std::cerr.rdbuf(cerr_);
    std::clog.rdbuf(clog_);
    verbose = false;
  }
  std::string err() const { return err_.str(); }
  std::string log() const { return log_.str(); }

 private:
  std::ostringstream err_, log_;
  std::streambuf* cerr_;
  std::streambuf* clog_;
};

inline time_t ctime_of(const std::string& path) {
  struct stat st;
  lstat(path.c_str(), &st);
  return st.st_ctime;
}

}  // namespace test_support
