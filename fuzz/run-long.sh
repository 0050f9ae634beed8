#!/bin/sh
# Runs the libFuzzer targets for longer than CI does, one after the other.
#
# usage: fuzz/run-long.sh [seconds] [target...]
#
# Builds the fuzz preset (clang; -j2), then runs each target (all of them by
# default: one per fuzz/corpus/<name>/) for `seconds` (default 600). Each
# target's corpus grows in <build>/long/<name>/corpus across runs, seeded from
# fuzz/corpus/<name>/, which is only read; crash inputs land in
# <build>/long/<name>/artifacts/ and the output in <build>/long/<name>/log.
# Nothing is written to the source tree.
#
# Environment:
#   VAREK_FUZZ_BUILD  build directory (default: <source>/build/fuzz, the preset's)
#   VAREK_FUZZ_JOBS   build jobs (default: 2)
#
# Prints one line per target with its executions; exits 1 when any target
# found something (or did not run), 0 otherwise.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
[ $# -gt 0 ] && shift
build=${VAREK_FUZZ_BUILD:-$source_dir/build/fuzz}
jobs=${VAREK_FUZZ_JOBS:-2}

case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [seconds] [target...]" >&2; exit 2 ;;
esac

cmake --preset fuzz -S "$source_dir" -B "$build" >/dev/null
cmake --build "$build" -j "$jobs"

if [ $# -eq 0 ]; then
  for dir in "$source_dir"/fuzz/corpus/*/; do
    set -- "$@" "$(basename "$dir")"
  done
fi

status=0
for name in "$@"; do
  fuzzer=$build/fuzz/${name}_fuzz
  seeds=$source_dir/fuzz/corpus/$name
  work=$build/long/$name
  if [ ! -x "$fuzzer" ] || [ ! -d "$seeds" ]; then
    echo "$name: no such target" >&2
    status=1
    continue
  fi
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "$name: fuzzing for $seconds s (log: $work/log)"
  if "$fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" >"$work/log" 2>&1; then
    result="no finding"
  else
    result="FINDING, see $work/log and $work/artifacts/"
    status=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  echo "$name: ${executions:-?} executions in $seconds s, corpus $corpus files: $result"
done
exit $status
