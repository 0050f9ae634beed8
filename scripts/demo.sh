#!/bin/sh
# Builds the programs and shows each doing its job in a sandbox.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target sessreap phpgate logroute 2>/dev/null ||
  cmake --build --preset default -j "$(nproc)"
bin=build/default
for program in sessreap:session_reaper phpgate:php_launcher logroute:log_router; do
  name=${program%%:*}
  path=$(pwd)/$bin/${program#*:}/$name
  [ -x "$path" ] && [ -f "demo/$name.sh" ] || continue
  echo "==================== $name ===================="
  sh "demo/$name.sh" "$path"
  echo
done
