// Running the built sessreap in a sandbox, with the clock moved by libfaketime.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "harness/files.hpp"
#include "harness/sandbox.hpp"

namespace harness {

inline const char LIBFAKETIME[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// The environment that freezes the clock at `now`. NO_FAKE_STAT keeps the
// file times real; the sanitizer runtime must tolerate the preload.
inline std::vector<std::string> frozen_clock_env(time_t now) {
  char when[32];
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  return {std::string("LD_PRELOAD=") + LIBFAKETIME, std::string("FAKETIME=") + when, "TZ=UTC",
          "NO_FAKE_STAT=1", "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

inline harness::RunResult sessreap(const std::vector<std::string>& args,
                                   std::vector<std::string> env = {}, const std::string& cwd = "") {
  std::vector<std::string> argv{SESSREAP_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, {.env = std::move(env), .cwd = cwd});
}

// sessreap-dirs, the sweep of several directories, likewise.
inline harness::RunResult sessreap_dirs(const std::vector<std::string>& args,
                                        std::vector<std::string> env = {}) {
  std::vector<std::string> argv{SESSREAP_DIRS_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, {.env = std::move(env)});
}

}  // namespace harness
