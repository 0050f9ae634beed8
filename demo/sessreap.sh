#!/bin/sh
# sessreap on a throw-away session directory: five sessions, one of them
# held open by a running process, the clock moved an hour forward.
set -eu
sessreap=$1
dir=$(mktemp -d /tmp/sessreap-demo.XXXXXX)
holder=""
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$dir"' EXIT

for id in a1 b2 c3 d4 e5; do printf 'user|s:2:"%s";' "$id" > "$dir/sess_$id"; done
sleep 600 3<"$dir/sess_c3" &
holder=$!

echo "session directory $dir, sess_c3 held open by process $holder:"
ls "$dir"
echo
echo "\$ faketime '+1 hour' sessreap -v $dir 24"
# Verbose mode also warns about processes whose descriptors may not be read
# (in a container, the host's init); the demo leaves those lines out.
LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME="+1h" NO_FAKE_STAT=1 \
  "$sessreap" -v "$dir" 24 2>&1 | grep -v '^Warning: readlink failed on /proc/' || true
echo
echo "left in $dir:"
ls "$dir"
