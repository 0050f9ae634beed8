#!/bin/bash
# The sweep of every site's session directory, as sessreap.service runs it
# (sessreap-sweep, then sessreap-dirs), against its floor and against one
# sessreap run per directory: DIRS directories (1 000 by default; a list,
# such as "22500 45000", runs each size and compares the sweep's times) of
# FILES expired files (10), the first file of each held open, with
# DESCRIPTORS descriptors (20 000, or one per directory when there are
# more) held open by other processes in all. Prints medians over
# interleaved rounds and the ratios to the floor measured in the same run.
# As root (the holders raise their limit of open files).
#
#   bench/sessreap-sweep.sh [build_dir] [rounds] [loop_rounds]
#
# start: sessreap -h: the start of one process under libfaketime, which
#        every run of every program here pays (the loop once a directory)
# one:   sessreap on one directory: one reading of /proc
# find:  find -delete over all the files: every walk and removal, no
#        in-use check (its `correct` says FAIL: it removes the held files)
# floor: one + find, per round
# sweep: sessreap-sweep over SESSREAP_DIRS="DIR/*", lifetime 1
# loop:  sessreap once per directory, the sweep's way before sessreap-dirs
#        (in the first loop_rounds rounds only, 1 by default: it is slow)
set -euo pipefail

build=${1:-build/default}
rounds=${2:-3}
loop_rounds=${3:-1}
sizes=${DIRS:-1000} files=${FILES:-10}
sessreap=$build/session_reaper/sessreap
faketime_lib=$(find /usr/lib -name libfaketime.so.1 -path '*/faketime/*' 2>/dev/null | head -n 1)
[ -x "$sessreap" ] && [ -x "$build/session_reaper/sessreap-dirs" ] \
  || { echo "no sessreap or sessreap-dirs in $build/session_reaper (build them first)" >&2; exit 1; }
[ -n "$faketime_lib" ] || { echo "libfaketime is missing (apt-get install faketime)" >&2; exit 1; }

work=$(mktemp -d /tmp/sessreap-sweep-bench.XXXXXX)
holders=()
stop_holders() {
  [ ${#holders[@]} -gt 0 ] || return 0
  kill "${holders[@]}" 2>/dev/null || true
  wait "${holders[@]}" 2>/dev/null || true
  holders=()
}
trap 'stop_holders; rm -rf "$work"' EXIT

# The shipped front end, with the build's sessreap-dirs.
sed "s|@LIBEXEC@|$(cd "$build/session_reaper" && pwd)|; s|@ETC@|/nonexistent|" \
  packaging/libexec/sessreap-sweep.in >"$work/sessreap-sweep"
printf 'SESSREAP_DIRS="%s/sites/*"\nSESSREAP_LIFETIME=1\n' "$work" >"$work/defaults"
echo "held-elsewhere" >"$work/other"
now=$(date +%s)

# A process holding open the files listed in the file $1, one descriptor
# each, a list line by line.
start_holder() {
  local count
  count=$(wc -l <"$1")
  (
    ulimit -n $((count + 64))
    while read -r f; do exec {fd}<"$f"; done <"$1"
    exec sleep 3600
  ) &
  holders+=($!)
  local waited=0
  until [ "$(ls "/proc/$!/fd" 2>/dev/null | wc -l)" -ge "$count" ]; do
    [ $waited -lt 600 ] || { echo "a holder did not open $count files within 60 s" >&2; exit 1; }
    waited=$((waited + 1))
    sleep 0.1
  done
}

# Makes the directories and files afresh and starts the holders, 10 000
# descriptors each at most (a process may be refused more): the first file
# of every directory, then another file as many times as needed. Sets `now`
# to an instant at which every file is 61 s old.
prepare() {
  stop_holders
  rm -rf "$work/sites"
  mkdir "$work/sites"
  (cd "$work/sites" && seq -f 'd%06.0f' 1 "$dirs" | xargs mkdir \
    && for i in $(seq 1 "$files"); do printf '%s\n' d*/ | sed "s|/\$|/sess_$i|" | xargs touch; done)
  now=$(($(find "$work/sites" -type f -printf '%C@\n' | sort -n | tail -n 1 | cut -d. -f1) + 61))
  printf '%s\n' "$work"/sites/d*/sess_1 >"$work/held"
  local others=$((descriptors - dirs))
  [ $others -le 0 ] || seq "$others" | sed "s|.*|$work/other|" >>"$work/held"
  split -l 10000 "$work/held" "$work/held."
  for list in "$work"/held.*; do start_holder "$list"; done
  rm -f "$work"/held.*
}

at_now() {
  LD_PRELOAD=$faketime_lib FAKETIME="@$(date -u -d "@$now" '+%Y-%m-%d %H:%M:%S')" TZ=UTC NO_FAKE_STAT=1 "$@"
}

run_start() { at_now "$sessreap" -h >/dev/null; }
run_one() { at_now "$sessreap" "$work/sites/d000001" 1; }
run_find() { at_now find "$work/sites" -mindepth 2 -maxdepth 2 -type f -cmin +1 -delete; }
run_sweep() { SESSREAP_DEFAULTS="$work/defaults" at_now sh "$work/sessreap-sweep"; }
run_loop() { for d in "$work"/sites/d*; do at_now "$sessreap" "$d" 1 || return 1; done; }

# "ok" when exactly the held file of each directory is left.
check() {
  local left held
  left=$(find "$work/sites" -type f | wc -l)
  held=$(find "$work/sites" -type f -name sess_1 | wc -l)
  if [ "$left" -eq "$dirs" ] && [ "$held" -eq "$dirs" ]; then echo ok
  else echo "FAIL($left files left, want the $dirs held ones)"; fi
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
ms() { echo "scale=1; $1 / 1000" | bc; }

# Runs the programs over `dirs` directories in interleaved rounds and
# prints their medians; sets sweep_us to the sweep's.
run_size() {
  declare -A times=() verdict=()
  for r in $(seq 1 "$rounds"); do
    tools="start one find sweep"
    [ "$r" -le "$loop_rounds" ] && tools="$tools loop"
    for tool in $tools; do
      [ "$tool" = start ] || prepare
      start=$(date +%s%N)
      "run_$tool" 2>"$work/$tool.err" || { echo "$tool failed:" >&2; cat "$work/$tool.err" >&2; exit 1; }
      end=$(date +%s%N)
      times[$tool]+="$(((end - start) / 1000)) "
      [ "$tool" = start ] || verdict[$tool]=$(check)
    done
    times[floor]+="$(($(echo "${times[one]}" | awk '{ print $NF }') + $(echo "${times[find]}" | awk '{ print $NF }'))) "
  done
  stop_holders

  printf '%d directories x %d files, %d descriptors held, %d rounds (loop: %d)\n' \
    "$dirs" "$files" "$descriptors" "$rounds" "$loop_rounds"
  printf '%-6s %12s %9s  %s\n' program median_ms vs_floor correct
  floor_us=$(tr ' ' '\n' <<<"${times[floor]}" | sed '/^$/d' | median)
  for tool in start one find floor sweep loop; do
    [ -n "${times[$tool]:-}" ] || continue
    us=$(tr ' ' '\n' <<<"${times[$tool]}" | sed '/^$/d' | median)
    printf '%-6s %12.1f %9.2f  %s\n' "$tool" "$(ms "$us")" "$(echo "$us / $floor_us" | bc -l)" \
      "${verdict[$tool]:-}"
  done
  sweep_us=$(tr ' ' '\n' <<<"${times[sweep]}" | sed '/^$/d' | median)
}

first_dirs= first_us=
for dirs in $sizes; do
  descriptors=${DESCRIPTORS:-20000}
  [ "$descriptors" -ge "$dirs" ] || descriptors=$dirs
  run_size
  if [ -z "$first_dirs" ]; then
    first_dirs=$dirs first_us=$sweep_us
  else
    printf 'scale  sweep of %d directories / sweep of %d: %.2f (directories x %.2f)\n\n' \
      "$dirs" "$first_dirs" "$(echo "$sweep_us / $first_us" | bc -l)" \
      "$(echo "$dirs / $first_dirs" | bc -l)"
  fi
done
