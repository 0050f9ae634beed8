// The failing allocator (tests/malloc_fail_shim.c, MALLOC_FAIL_SHIM) preloaded
// into a program under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace harness {

// The environment entries that refuse allocation call `n` (counted from 1),
// and in mode "from" every later one too; each refusal is noted in the file
// `report` when one is named. A sanitizer's options pass through.
inline std::vector<std::string> failing_allocator_env(size_t n, const char* mode,
                                                      const std::string& report = "") {
  std::vector<std::string> env = {std::string("LD_PRELOAD=") + MALLOC_FAIL_SHIM,
                                  "VAREK_MALLOC_FAIL_AT=" + std::to_string(n),
                                  std::string("VAREK_MALLOC_FAIL_MODE=") + mode};
  if (!report.empty()) env.push_back("VAREK_MALLOC_FAIL_REPORT=" + report);
  if (const char* ubsan = getenv("UBSAN_OPTIONS"))
    env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
  return env;
}

// After a sweep that refused allocation 1, 2, ... in turn, each run below
// `limit`: says how it went, and checks that it went through the program's
// allocations (at least `least` of them refused) and ended before the limit.
inline void expect_sweep_ended(const std::string& program, const char* mode, size_t refused_runs,
                               size_t failed_runs, size_t least, size_t limit) {
  std::cout << program << " sweep, mode " << mode << ": " << refused_runs
            << " allocations refused in turn, " << failed_runs << " of them ended in status 1"
            << std::endl;
  EXPECT_GE(refused_runs, least) << mode;
  EXPECT_LT(refused_runs, limit - 1) << mode;
}

}  // namespace harness
