#!/bin/bash
# logroute against its floors and peers on 1 million tagged lines of about
# 200 bytes, in three mixes: (a) one virtual host; (b) 50 virtual hosts in
# runs of 10 to 30 lines; (c) 2 virtual hosts alternating every line.  Each
# input is fed through a pipe by a separate process (cat FILE | PROGRAM), as
# the web server feeds its piped loggers.  Prints medians over interleaved
# rounds, with ratios taken within each round (then their median), the
# byte-for-byte check of every output file, logroute's peak RSS at two input
# sizes and its system calls per 1000 lines.
#
#   bench/logroute.sh [path/to/logroute] [rounds] [lines]     (as root)
#
# pipe floor:     cat FILE | cat > one file
# contract floor: bench/logroute/keyswitch.c, which does only the system calls
#                 of a key change (stat of the domain and its logs directory,
#                 close; the logs directory opened on its own, the file opened
#                 in it, the directory closed, an fstat of the file) at each
#                 change of host, on paths worked out in advance, one write per
#                 run within a read and one stat of the open path per read; in
#                 mix c that is per line exactly stat, stat, close, open,
#                 openat, close, fstat, write
# peers:          Apache's split-logfile (fed "host logline") and cronolog
#                 (fed the log lines alone, one output file: it cannot split)
#
# With LOGROUTE_BASELINE=path/to/another/logroute, that build runs too, in
# the same rounds (row "baseline"), and its time against logroute's is
# printed: the way to compare two builds on a noisy machine.
#
# Everything runs in a private mount namespace: the work directory is a
# tmpfs, and /etc/vrk/vrk.conf (pointing logroute at the tmpfs) exists only
# in an overlay over /etc.  The host's /etc/vrk, /var/www and /var/log are
# never touched.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  logroute=${1:-build/default/log_router/logroute}
  rounds=${2:-5}
  lines=${3:-1000000}
  here=$(cd "$(dirname "$0")" && pwd)
  [ "$(id -u)" -eq 0 ] || { echo "$0: must run as root (private mount namespace)" >&2; exit 2; }
  [ -x "$logroute" ] || { echo "no logroute at $logroute (build it first)" >&2; exit 1; }
  for tool in cc perl strace /usr/bin/time /usr/sbin/split-logfile cronolog unshare; do
    command -v "$tool" >/dev/null ||
      { echo "$0: $tool is missing (apt-get install gcc perl strace time apache2 cronolog)" >&2; exit 1; }
  done
  etc_vrk_before=$([ -e /etc/vrk ] && echo present || echo absent)
  work=$(mktemp -d /tmp/logroute-bench.XXXXXX)
  trap 'rmdir "$work" 2>/dev/null || true' EXIT
  baseline=${LOGROUTE_BASELINE:+$(readlink -f "$LOGROUTE_BASELINE")}
  unshare -m --propagation private bash "$here/logroute.sh" --inside \
    "$(readlink -f "$logroute")" "$rounds" "$lines" "$work" "$here/logroute" "$baseline"
  if [ "$etc_vrk_before" = absent ] && [ -e /etc/vrk ]; then
    echo "$0: /etc/vrk appeared on the host" >&2
    exit 1
  fi
  exit 0
fi

# ---- inside the private mount namespace ----
logroute=$2 rounds=$3 lines=$4 work=$5 sources=$6 baseline=${7:-}
mount -t tmpfs logroute-bench "$work"
mkdir -p "$work/etc/upper" "$work/etc/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/etc/upper,workdir=$work/etc/work" /etc
mkdir -p /etc/vrk "$work/vhosts/system" "$work/httpd" "$work/bin" "$work/out"
printf 'HTTPD_VHOSTS_D %s\nHTTPD_LOG_D %s\n' "$work/vhosts" "$work/httpd" >/etc/vrk/vrk.conf

cc -O2 -Wall -Wextra -o "$work/bin/gen" "$sources/gen.c"
cc -O2 -Wall -Wextra -o "$work/bin/keyswitch" "$sources/keyswitch.c"

mixes=(a b c)
declare -A mix_name=([a]="a: 1 host" [b]="b: 50 hosts, runs" [c]="c: 2 alternating")
for m in "${mixes[@]}"; do
  mkdir -p "$work/in/$m"
  "$work/bin/gen" "$m" "$lines" "$work/in/$m"
  while read -r host; do mkdir -p "$work/vhosts/system/$host/logs"; done <"$work/in/$m/hosts"
done

clear_outputs() {
  rm -f "$work"/vhosts/system/*/logs/* "$work"/httpd/*
  rm -rf "$work/out" && mkdir -p "$work/out/split"
}

# The programs, each fed through a pipe by cat.
run_floor() { cat "$work/in/$1/tagged" | cat >"$work/out/floor"; }
run_contract() {
  local hosts
  mapfile -t hosts <"$work/in/$1/hosts"
  cat "$work/in/$1/tagged" | "$work/bin/keyswitch" "$work/vhosts" "${hosts[@]}"
}
# Under /usr/bin/time for its peak RSS (which adds a fork and an exec to its
# time, not to the others').
run_logroute() { cat "$work/in/$1/tagged" | /usr/bin/time -f %M -o "$work/rss" "$logroute"; }
run_baseline() { cat "$work/in/$1/tagged" | /usr/bin/time -f %M -o "$work/rss.baseline" "$baseline"; }
run_split() { cat "$work/in/$1/split" | (cd "$work/out/split" && /usr/sbin/split-logfile); }
# cronolog exits 3 at the end of its input.
run_cronolog() { cat "$work/in/$1/plain" | cronolog "$work/out/cronolog_log" || [ $? -eq 3 ]; }

# "ok" when every host's access log holds exactly its lines and nothing
# else was written; else what differs.
check_vhost_logs() {
  local m=$1 host made
  while read -r host; do
    cmp -s "$work/in/$m/expect/$host" "$work/vhosts/system/$host/logs/access_log" ||
      { echo "FAIL($host)"; return; }
  done <"$work/in/$m/hosts"
  made=$(find "$work/vhosts/system" "$work/httpd" -type f | wc -l)
  [ "$made" -eq "$(wc -l <"$work/in/$m/hosts")" ] || { echo "FAIL(extra files)"; return; }
  echo ok
}
check_floor() { cmp -s "$work/in/$1/tagged" "$work/out/floor" && echo ok || echo FAIL; }
check_contract() { check_vhost_logs "$1"; }
check_logroute() { check_vhost_logs "$1"; }
check_baseline() { check_vhost_logs "$1"; }
check_split() {
  local m=$1 host
  while read -r host; do
    cmp -s "$work/in/$m/expect/$host" "$work/out/split/$host.log" || { echo "FAIL($host)"; return; }
  done <"$work/in/$m/hosts"
  echo ok
}
check_cronolog() { cmp -s "$work/in/$1/plain" "$work/out/cronolog_log" && echo "ok (1 file)" || echo FAIL; }

tools_for() { echo floor contract logroute ${baseline:+baseline} split cronolog; }

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

declare -A ms=() verdict=() rss=()
for r in $(seq 1 "$rounds"); do
  for m in "${mixes[@]}"; do
    for tool in $(tools_for "$m"); do
      clear_outputs
      sync
      start=$(date +%s%N)
      status=0
      "run_$tool" "$m" || status=$?
      end=$(date +%s%N)
      ms[$m.$tool.$r]=$(( (end - start) / 1000 ))
      v=$("check_$tool" "$m")
      [ "$status" -eq 0 ] || v="FAIL(exit $status)"
      [ "$tool" = logroute ] && rss[$m.$r]=$(tail -n1 "$work/rss")
      if [ -z "${verdict[$m.$tool]:-}" ] || [ "${v%% *}" != ok ]; then verdict[$m.$tool]=$v; fi
    done
  done
done
clear_outputs

# Median over the rounds of the time of $2 over the time of $3 (same round).
ratio() {
  local m=$1 num=$2 den=$3 r
  for r in $(seq 1 "$rounds"); do
    awk -v a="${ms[$m.$num.$r]}" -v b="${ms[$m.$den.$r]}" 'BEGIN { print a / b }'
  done | median
}
median_ms() {
  local r
  for r in $(seq 1 "$rounds"); do echo "${ms[$1.$2.$r]}"; done | median | awk '{ printf "%.0f", $1 / 1000 }'
}
met() { awk -v x="$1" -v op="$2" -v t="$3" 'BEGIN { ok = (op == ">=") ? x >= t : x <= t; print ok ? "met" : "NOT met" }'; }

bytes=$(stat -c %s "$work/in/a/tagged")
echo "logroute: $lines lines (~$(( bytes / lines )) bytes each), $rounds interleaved rounds, medians; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "throughput = pipe floor's time / program's time; vs contract = program's time / contract floor's time;"
echo "split-logfile / prog = split-logfile's time / program's time (all ratios taken within a round)"
echo
printf '%-20s %-15s %9s %11s %12s %15s  %s\n' mix program median_ms throughput vs_contract split-logfile/p correct
for m in "${mixes[@]}"; do
  for tool in $(tools_for "$m"); do
    tp=$(ratio "$m" floor "$tool" | awk '{ printf "%.2f", $1 }')
    vc=$(ratio "$m" "$tool" contract | awk '{ printf "%.2f", $1 }')
    vs=$(ratio "$m" split "$tool" | awk '{ printf "%.2f", $1 }')
    name=$tool
    case $tool in floor) name="cat (floor)" ;; contract) name="keyswitch" ;; split) name=split-logfile ;; esac
    printf '%-20s %-15s %9s %11s %12s %15s  %s\n' "${mix_name[$m]}" "$name" "$(median_ms "$m" "$tool")" \
      "$tp" "$vc" "$vs" "${verdict[$m.$tool]}"
  done
done

echo
echo "targets:"
tp_a=$(ratio a floor logroute); tp_b=$(ratio b floor logroute); vc_c=$(ratio c logroute contract)
sp_a=$(ratio a split logroute); sp_b=$(ratio b split logroute)
printf '  mix a throughput >= 0.8 x pipe floor:       %.2f  %s\n' "$tp_a" "$(met "$tp_a" '>=' 0.8)"
printf '  mix b throughput >= 0.6 x pipe floor:       %.2f  %s' "$tp_b" "$(met "$tp_b" '>=' 0.6)"
printf '  (the contract floor itself: %.2f)\n' "$(ratio b floor contract)"
printf '  mix c time <= 1.3 x contract floor:         %.2f  %s\n' "$vc_c" "$(met "$vc_c" '<=' 1.3)"
printf '  mix a >= 4 x faster than split-logfile:     %.2f  %s\n' "$sp_a" "$(met "$sp_a" '>=' 4)"
printf '  mix b >= 4 x faster than split-logfile:     %.2f  %s\n' "$sp_b" "$(met "$sp_b" '>=' 4)"
if [ -n "$baseline" ]; then
  for m in "${mixes[@]}"; do
    printf '  mix %s logroute time / baseline time:       %.3f\n' "$m" "$(ratio "$m" logroute baseline)"
  done
fi

# What key changes alone cost in mix b: its number of host changes times the
# cost of one change, taken from mix c (contract floor minus pipe floor, per
# line), in the same round.  No router under the contract can be faster.
changes_b=$(cat "$work/in/b/changes")
bound() {
  local r
  for r in $(seq 1 "$rounds"); do
    awk -v k="$changes_b" -v n="$lines" -v ks="${ms[c.contract.$r]}" -v fl="${ms[c.floor.$r]}" \
        -v x="${ms[b.$1.$r]}" 'BEGIN { print x / (k * (ks - fl) / n) }'
  done | median
}
kc_us=$(for r in $(seq 1 "$rounds"); do
  awk -v n="$lines" -v ks="${ms[c.contract.$r]}" -v fl="${ms[c.floor.$r]}" 'BEGIN { print (ks - fl) / n }'
done | median)
echo "  mix b changes host $changes_b times; one change (stat, stat, close, open, openat, close, fstat) costs $(printf %.2f "$kc_us") us"
printf '  (mix c), so the changes alone bound mix b to %.2f x the pipe floor and %.2f x faster than split-logfile\n' \
  "$(bound floor)" "$(bound split)"

# Peak RSS at a tenth of the input (median of 3 runs) and at all of it
# (median over the timed rounds).
echo
small=$(( lines / 10 ))
printf '%-20s %14s %14s  %s\n' mix "KiB@$small" "KiB@$lines" "(logroute peak RSS; target < 4096 and flat)"
worst=0 growth=0
for m in "${mixes[@]}"; do
  rs=$(for i in 1 2 3; do
    clear_outputs
    head -n "$small" "$work/in/$m/tagged" | /usr/bin/time -f %M -o "$work/rss" "$logroute"
    tail -n1 "$work/rss"
  done | median)
  rf=$(for r in $(seq 1 "$rounds"); do echo "${rss[$m.$r]}"; done | median)
  printf '%-20s %14s %14s\n' "${mix_name[$m]}" "$rs" "$rf"
  for x in "$rs" "$rf"; do [ "${x%.*}" -gt "$worst" ] && worst=${x%.*}; done
  d=$(( ${rf%.*} - ${rs%.*} )); [ "$d" -gt "$growth" ] && growth=$d
done
# Flat: 10 times the input adds no more than what the 128 KiB input buffer
# and the 8 KiB of keys account for (their pages touched or not).
rss_ok=$([ "$worst" -lt 4096 ] && [ "$growth" -le 256 ] && echo met || echo "NOT met")
echo "  peak RSS < 4 MiB and flat (10 x the input, <= 256 KiB more): max $worst KiB, growth $growth KiB  $rss_ok"

# System calls per 1000 lines (strace -c over a tenth of the input).
echo
echo "system calls per 1000 lines (strace -c, $small lines):"
syscalls() {
  awk -v n="$small" '$NF != "total" && $0 ~ /^ *[0-9]/ && $4 * 1000 / n >= 0.05 {
      out = out sprintf(" %s=%.4g", $NF, $4 * 1000 / n) }
    END { print out }' "$1"
}
for m in "${mixes[@]}"; do
  clear_outputs
  head -n "$small" "$work/in/$m/tagged" | strace -c -o "$work/strace" "$logroute"
  printf '  %-20s logroute: %s\n' "${mix_name[$m]}" "$(syscalls "$work/strace")"
done
clear_outputs
mapfile -t hosts_c <"$work/in/c/hosts"
head -n "$small" "$work/in/c/tagged" | strace -c -o "$work/strace" "$work/bin/keyswitch" "$work/vhosts" "${hosts_c[@]}"
printf '  %-20s keyswitch:%s\n' "${mix_name[c]}" "$(syscalls "$work/strace")"
clear_outputs
head -n "$small" "$work/in/a/tagged" | strace -c -o "$work/strace" cat >"$work/out/floor"
printf '  %-20s cat:      %s\n' "${mix_name[a]}" "$(syscalls "$work/strace")"
