#!/bin/sh
# Builds the programs and shows each doing its job in a sandbox. Stops with a
# message that names the step when one fails.
set -eu
cd "$(dirname "$0")/.."

fail() {
  echo "demo: $*" >&2
  exit 1
}

log=$(mktemp /tmp/varek-demo-build.XXXXXX)
trap 'rm -f "$log"' EXIT
# Runs a build step quietly; shows its output when it fails.
step() {
  what=$1
  shift
  "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    fail "$what failed (output above)"
  }
}

sh scripts/setup.sh || fail "scripts/setup.sh failed (output above)"
step "configuring the build (cmake --preset default)" cmake --preset default
step "building the programs" cmake --build --preset default -j "$(nproc)" \
  --target sessreap sessreap-dirs phpgate phpgate-check logroute logroute-check

bin=build/default
for program in sessreap:session_reaper phpgate:php_launcher logroute:log_router; do
  name=${program%%:*}
  path=$(pwd)/$bin/${program#*:}/$name
  [ -x "$path" ] || fail "$path is missing after the build"
  echo "==================== $name ===================="
  status=0
  timeout 120 sh "demo/$name.sh" "$path" || status=$?
  [ "$status" -ne 124 ] || fail "the $name demo did not end within 120 s"
  [ "$status" -eq 0 ] || fail "the $name demo failed (exit status $status)"
  echo
done
