#!/bin/sh
# Builds and runs the whole test suite: the default build, the build with
# AddressSanitizer and UndefinedBehaviorSanitizer, a bounded run of each
# fuzz target, and the Debian package: built, linted, built again to compare,
# and its autopkgtest run on this machine (scripts/package.sh --check).
# Needs root (the end-to-end tests use mount namespaces).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/format.sh --check

jobs=$(nproc)
for preset in default asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done
echo "== fuzz targets (${VAREK_FUZZ_SECONDS:-60} s each)"
cmake --preset fuzz -DVAREK_FUZZ_SECONDS="${VAREK_FUZZ_SECONDS:-60}" >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
echo "== Debian package"
sh scripts/package.sh --check
