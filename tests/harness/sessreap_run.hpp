// Running the built sessreap in a sandbox, with the clock moved by libfaketime.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/files.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"

namespace harness {

// libfaketime in its multiarch directory (/usr/lib/<triplet>/faketime/),
// whatever the machine; empty when the package is not installed.
inline const std::string& libfaketime() {
  static const std::string path = [] {
    std::error_code ec;
    for (const auto& dir : std::filesystem::directory_iterator("/usr/lib", ec)) {
      auto lib = dir.path() / "faketime/libfaketime.so.1";
      if (std::filesystem::exists(lib, ec)) return lib.string();
    }
    return std::string();
  }();
  return path;
}

// The environment that freezes the clock at `now`. NO_FAKE_STAT keeps the
// file times real; the sanitizer runtime must tolerate the preload.
inline std::vector<std::string> frozen_clock_env(time_t now) {
  char when[32];
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  return {"LD_PRELOAD=" + libfaketime(), std::string("FAKETIME=") + when, "TZ=UTC",
          "NO_FAKE_STAT=1", "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

inline harness::run_result sessreap(const std::vector<std::string>& args,
                                    std::vector<std::string> env = {},
                                    const std::string& cwd = "") {
  std::vector<std::string> argv{SESSREAP_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, {.env = std::move(env), .cwd = cwd});
}

// sessreap-dirs, the sweep of several directories, likewise.
inline harness::run_result sessreap_dirs(const std::vector<std::string>& args,
                                         std::vector<std::string> env = {}) {
  std::vector<std::string> argv{SESSREAP_DIRS_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, {.env = std::move(env)});
}

}  // namespace harness
