#!/bin/bash
# What a real Apache sends its piped loggers at each step of its life, and
# whether logroute loses a line there. Apache, with a configuration of its
# own on a loopback port, logs every request three times: to a stand-in
# logger that records each signal it gets (bench/logroute/signal_recorder.c),
# to logroute, and to a plain reference file. For each event it starts
# Apache as apachectl does (daemonized, its own session), keeps it busy (ab,
# 16 requests at a time, and 6 downloads of 40 MB at 4 MB/s), sends the
# event, and prints the signals the stand-in got, in ms from the event, and
# the lines of the reference that logroute's log lacks, has beyond it, or
# has twice. A request that a restart cuts short is in the reference only
# when its child logged it.
#
#   bench/apache_signals.sh [path/to/logroute] [MPM ...]	(as root; MPMs: event prefork)
#
# Events: restart, graceful, graceful-stop, stop (apache2 -k), and systemd's
# stop of Debian 12's apache2.service (ExecStop=apachectl graceful-stop, then
# SIGTERM and SIGCONT to the parent alone, and SIGKILL to what is left once
# it has exited: KillMode=mixed), reproduced by hand. Runs in a private
# mount namespace whose /var/log/apache2 (logroute's server-wide log) and
# work directory are tmpfs; needs apache2, ab (apache2-utils), curl, cc.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
logroute=$(realpath "${1:-build/default/log_router/logroute}")
mpms=("${@:2}")
[ ${#mpms[@]} -gt 0 ] || mpms=(event prefork)
events="restart graceful graceful-stop stop systemd-stop"

if [ -z "${APACHE_SIGNALS_PRIVATE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (the logs need a mount namespace)" >&2; exit 1; }
  [ -x "$logroute" ] || { echo "no logroute at $logroute (build it first)" >&2; exit 1; }
  for tool in apache2 ab curl cc unshare; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
  done
  APACHE_SIGNALS_PRIVATE=1 exec unshare -m --propagation private "$0" "$logroute" "${mpms[@]}"
fi

work=$(mktemp -d /tmp/apache-signals.XXXXXX)
cleanup() {
  umount /var/log/apache2 2>/dev/null || true
  umount "$work" 2>/dev/null || true
  rmdir "$work"
}
trap cleanup EXIT
mount -t tmpfs apache-signals "$work"
mkdir -p /var/log/apache2
mount -t tmpfs apache-signals /var/log/apache2
chmod 755 "$work"
cc -O2 -Wall -Wextra -o "$work/recorder" "$here/logroute/signal_recorder.c"
mkdir "$work/htdocs"
echo ok >"$work/htdocs/index.html"
head -c 40000000 /dev/zero >"$work/htdocs/big"
port=18000
while ss -ltn | grep -q ":$port "; do port=$((port + 1)); done

configure() {  # MPM
  cat >"$work/httpd.conf" <<EOF
ServerRoot $work
DefaultRuntimeDir $work/run
PidFile $work/run/httpd.pid
ErrorLog $work/error.log
LogLevel warn
LoadModule mpm_$1_module /usr/lib/apache2/modules/mod_mpm_$1.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule cgid_module /usr/lib/apache2/modules/mod_cgid.so
User www-data
Group www-data
Listen 127.0.0.1:$port
ServerName localhost
DocumentRoot $work/htdocs
<Directory $work/htdocs>
  Require all granted
</Directory>
CustomLog "||$work/recorder $work/record" "%U"
CustomLog "||$logroute" "%v@@%p@@%U%q %>s %P %{remote}p %{usec}t"
CustomLog $work/reference.log "%U%q %>s %P %{remote}p %{usec}t"
EOF
}

# Sends the event to the running Apache.
send() {  # EVENT
  local apache="apache2 -f $work/httpd.conf" parent
  parent=$(cat "$work/run/httpd.pid")
  if [ "$1" != systemd-stop ]; then
    $apache -k "$1"
    return
  fi
  $apache -k graceful-stop
  kill -TERM "$parent"
  kill -CONT "$parent"
  while kill -0 "$parent" 2>/dev/null; do sleep 0.01; done
  pkill -KILL -s "$parent" || true
}

run_event() {  # MPM EVENT
  rm -rf "$work/run" "$work"/record.* "$work/reference.log" /var/log/apache2/*
  mkdir "$work/run"
  apache2 -f "$work/httpd.conf" -k start
  sleep 1
  local loggers
  loggers=$(ls "$work"/record.*.signals)
  ab -q -n 400000 -c 16 "http://127.0.0.1:$port/index.html" >/dev/null 2>&1 &
  local load=$! downloads=()
  for i in 1 2 3 4 5 6; do
    curl -s -o /dev/null --limit-rate 4M --max-time 30 "http://127.0.0.1:$port/big?slow$i" &
    downloads+=($!)
  done
  sleep 2
  local at
  at=$(date +%s%3N)
  send "$2"
  sleep 3
  kill "$load" 2>/dev/null || true
  wait "$load" "${downloads[@]}" 2>/dev/null || true
  sleep 12  # what an old child still finishes
  [ -e "$work/run/httpd.pid" ] && apache2 -f "$work/httpd.conf" -k stop && sleep 4
  echo "$1 $2:"
  # The stand-ins that were there at the event: their signals from then on.
  for file in $loggers; do
    awk -v at="$at" '{ t = substr($1, 3); if (t >= at) { $1 = ""; printf "  +%d ms%s\n", t - at, $0 } }' "$file"
  done
  sort "$work/reference.log" >"$work/reference.sorted"
  sort /var/log/apache2/access_log >"$work/routed.sorted"
  echo "  reference $(wc -l <"$work/reference.sorted") lines ($(grep -c slow "$work/reference.sorted" || true) downloads):" \
    "logroute lacks $(comm -23 "$work/reference.sorted" "$work/routed.sorted" | wc -l)," \
    "has $(comm -13 "$work/reference.sorted" "$work/routed.sorted" | wc -l) beyond it," \
    "$(uniq -d "$work/routed.sorted" | wc -l) twice"
}

for mpm in "${mpms[@]}"; do
  configure "$mpm"
  for event in $events; do run_event "$mpm" "$event"; done
done
