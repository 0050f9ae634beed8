// CHECK(condition) for the fuzz targets: a broken invariant says which and
// where, then aborts, so that libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace harness {

[[noreturn]] inline void invariant_broken(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::abort();
}

}  // namespace harness

#define CHECK(cond)                                                    \
  do {                                                                 \
    if (!(cond)) harness::invariant_broken(__FILE__, __LINE__, #cond); \
  } while (0)
