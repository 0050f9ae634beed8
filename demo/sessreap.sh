#!/bin/sh
# sessreap on a throw-away session directory: five sessions, one of them
# held open by a running process, the clock moved an hour forward.
#
# usage: demo/sessreap.sh path/to/sessreap
set -eu

fail() {
  echo "sessreap demo: $*" >&2
  exit 1
}

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/sessreap" >&2
  exit 2
fi
sessreap=$1
faketime_lib=$(find /usr/lib -name libfaketime.so.1 -path '*/faketime/*' 2>/dev/null | head -n 1)
[ -n "$faketime_lib" ] || fail "libfaketime.so.1 is not installed (package faketime; sh scripts/setup.sh installs it)"

dir=$(mktemp -d /tmp/sessreap-demo.XXXXXX)
holder=""
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$dir"' EXIT

for id in a1 b2 c3 d4 e5; do printf 'user|s:2:"%s";' "$id" >"$dir/sess_$id"; done
sleep 600 3<"$dir/sess_c3" &
holder=$!
# The holder opens the file as it starts: wait (5 s at most) until it has.
tries=0
until [ "$(readlink "/proc/$holder/fd/3" 2>/dev/null)" = "$dir/sess_c3" ]; do
  [ "$tries" -lt 50 ] || fail "process $holder did not open $dir/sess_c3 within 5 s"
  tries=$((tries + 1))
  sleep 0.1
done

echo "session directory $dir, sess_c3 held open by process $holder:"
ls "$dir"
echo
echo "\$ faketime '+1 hour' sessreap -v $dir 24"
# Verbose mode also warns about processes whose descriptors may not be read
# (in a container, the host's init); the demo leaves those lines out.
status=0
output=$(LD_PRELOAD=$faketime_lib FAKETIME="+1h" NO_FAKE_STAT=1 "$sessreap" -v "$dir" 24 2>&1) ||
  status=$?
printf '%s\n' "$output" | grep -v '^Warning: readlink failed on /proc/' || true
[ "$status" -eq 0 ] || fail "sessreap ended with status $status"
echo
echo "left in $dir:"
ls "$dir"
