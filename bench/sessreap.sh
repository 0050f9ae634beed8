#!/bin/bash
# sessreap against its floors and a peer, on session directories of 10 000
# and 100 000 files, half of them expired, 300 of the expired ones held open
# by 50 running processes. Prints medians over interleaved rounds and the
# ratio to the floors measured in the same run.
#
#   bench/sessreap.sh [path/to/sessreap] [rounds]
#   BASELINE=path/to/other/sessreap bench/sessreap.sh ...
#
# floor:     find DIR -maxdepth 1 -type f -cmin +1 -delete (no in-use check)
# lockfloor: the same walk with the calls of sessreap's lock test on each
#            expired file (bench/sessreap/lock_floor.c), no /proc scan
# peer:      touch every session file found open under /proc/*/fd, then the
#            same find (the approach of Debian's PHP session cleaner)
# baseline:  with BASELINE, another build of sessreap in the same rounds;
#            then also `scan`, both builds on an empty directory (the /proc
#            scan alone), and their system calls
set -euo pipefail

sessreap=${1:-build/default/session_reaper/sessreap}
rounds=${2:-5}
baseline=${BASELINE:-}
here=$(cd "$(dirname "$0")" && pwd)
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
work=$(mktemp -d /tmp/sessreap-bench.XXXXXX)
holders=()
cleanup() {
  [ ${#holders[@]} -gt 0 ] && kill "${holders[@]}" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Makes $work/sess with n files: the first half expired, the second fresh,
# and starts 50 processes holding 300 of the expired ones open. Sets `now`
# to an instant 61 s after the expired half and under 60 s after the rest.
prepare() {
  local n=$1 half=$(( $1 / 2 ))
  [ ${#holders[@]} -gt 0 ] && { kill "${holders[@]}" 2>/dev/null || true; wait "${holders[@]}" 2>/dev/null || true; }
  holders=()
  rm -rf "$work/sess"
  mkdir "$work/sess"
  (cd "$work/sess" && seq -f 'sess_old%06.0f' 1 "$half" | xargs touch)
  local last_old
  last_old=$(stat -c %Z "$work/sess/sess_old$(printf '%06d' "$half")")
  sleep 2
  (cd "$work/sess" && seq -f 'sess_new%06.0f' 1 "$half" | xargs touch)
  now=$(( last_old + 61 ))
  for p in $(seq 0 49); do
    local fds=() i
    for i in $(seq 1 6); do fds+=("$work/sess/sess_old$(printf '%06d' $(( p * 6 + i )))"); done
    sleep 600 3<"${fds[0]}" 4<"${fds[1]}" 5<"${fds[2]}" 6<"${fds[3]}" 7<"${fds[4]}" 8<"${fds[5]}" &
    holders+=($!)
  done
}

at_now() {
  LD_PRELOAD=$faketime_lib FAKETIME="@$(date -u -d "@$now" '+%Y-%m-%d %H:%M:%S')" TZ=UTC NO_FAKE_STAT=1 "$@"
}

run_floor() { at_now find "$work/sess" -maxdepth 1 -type f -cmin +1 -delete; }
run_peer() {
  find /proc -mindepth 3 -maxdepth 3 -path '/proc/[0-9]*/fd/*' -lname "$work/sess/*" -printf '%l\0' \
    2>/dev/null | xargs -0 -r touch -c || true
  run_floor
}
run_lockfloor() { at_now "$work/lock_floor" "$work/sess" 60; }
run_sessreap() { at_now "$sessreap" "$work/sess" 1 2>/dev/null; }
run_baseline() { at_now "$baseline" "$work/sess" 1 2>/dev/null; }

# "ok" when exactly the expired files nobody holds are gone.
check() {
  local n=$1 half=$(( $1 / 2 )) left_old left_new
  left_old=$(find "$work/sess" -name 'sess_old*' | wc -l)
  left_new=$(find "$work/sess" -name 'sess_new*' | wc -l)
  if [ "$left_old" -eq 300 ] && [ "$left_new" -eq "$half" ]; then echo ok
  else echo "FAIL(old left $left_old, want 300; fresh left $left_new, want $half)"; fi
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

[ -x "$sessreap" ] || { echo "no sessreap at $sessreap (build it first)" >&2; exit 1; }
[ -f "$faketime_lib" ] || { echo "libfaketime is missing (apt-get install faketime)" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "no sessreap at $baseline" >&2; exit 1; }
cc -O2 -Wall -Wextra -o "$work/lock_floor" "$here/sessreap/lock_floor.c"
programs="floor lockfloor peer sessreap${baseline:+ baseline}"

printf '%-9s %-10s %12s %9s %9s  %s\n' files program median_ms vs_floor vs_lock correct
for n in ${SIZES:-10000 100000}; do
  declare -A times=() verdict=()
  for r in $(seq 1 "$rounds"); do
    for tool in $programs; do
      prepare "$n"
      start=$(date +%s%N)
      "run_$tool"
      end=$(date +%s%N)
      times[$tool]+="$(( (end - start) / 1000 )) "
      verdict[$tool]=$(check "$n")
    done
  done
  floor_us=$(tr ' ' '\n' <<<"${times[floor]}" | sed '/^$/d' | median)
  lock_us=$(tr ' ' '\n' <<<"${times[lockfloor]}" | sed '/^$/d' | median)
  for tool in $programs; do
    us=$(tr ' ' '\n' <<<"${times[$tool]}" | sed '/^$/d' | median)
    printf '%-9s %-10s %12.1f %9.2f %9.2f  %s\n' "$n" "$tool" "$(echo "$us / 1000" | bc -l)" \
      "$(echo "$us / $floor_us" | bc -l)" "$(echo "$us / $lock_us" | bc -l)" "${verdict[$tool]}"
  done
  unset times verdict
done

[ -n "$baseline" ] || exit 0
# The scan alone: 50 runs on an empty directory per round and program, and
# the system calls of one.
prepare 1000
mkdir "$work/empty"
declare -A scan=()
for r in $(seq 1 "$rounds"); do
  for tool in sessreap baseline; do
    program=$sessreap
    [ "$tool" = baseline ] && program=$baseline
    start=$(date +%s%N)
    for _ in $(seq 50); do "$program" "$work/empty" 1; done
    end=$(date +%s%N)
    scan[$tool]+="$(( (end - start) / 50000 )) "
  done
done
empty=0 processes=0
for p in /proc/[0-9]*; do
  processes=$((processes + 1))
  [ -n "$(ls -A "$p/fd" 2>/dev/null)" ] || empty=$((empty + 1))
done
echo
echo "scan of $processes processes ($empty with an empty /proc/PID/fd), one run on an empty directory:"
printf '%-10s %12s %9s\n' program median_us syscalls
for tool in sessreap baseline; do
  program=$sessreap
  [ "$tool" = baseline ] && program=$baseline
  us=$(tr ' ' '\n' <<<"${scan[$tool]}" | sed '/^$/d' | median)
  strace -qq -o "$work/trace" "$program" "$work/empty" 1
  calls=$(grep -c . "$work/trace")
  printf '%-10s %12.1f %9s\n' "$tool" "$us" "$calls"
done
