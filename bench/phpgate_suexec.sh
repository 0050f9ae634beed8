#!/bin/bash
# Requests per second of a small PHP page through a local Apache on loopback,
# each site's PHP run by suEXEC through a per-site wrapper (the shipped
# example's shape), with mod_fcgid and with mod_cgid; in each, the wrapper
# execs phpgate, or execs php-cgi directly with the same ini. Prints medians
# over interleaved rounds with their spread, and per-round ratios.
#
#   bench/phpgate_suexec.sh [path/to/phpgate] [rounds] [fcgid_requests] [cgid_requests]   (as root)
#
# Everything runs in a private mount namespace: /var/www, /var/log/apache2
# and /etc/vrk are tmpfs there, the bench's site user is added to an overlay
# of /etc; the host's files and its apache2 service are left alone.
set -euo pipefail

phpgate=${1:-build/default/php_launcher/phpgate}
rounds=${2:-12}
fcgid_requests=${3:-2000}
cgid_requests=${4:-40}
concurrency=4

if [ -z "${PHPGATE_BENCH_PRIVATE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (suEXEC and a mount namespace)" >&2; exit 1; }
  [ -x "$phpgate" ] || { echo "no phpgate at $phpgate (build it first)" >&2; exit 1; }
  for tool in unshare ab /usr/sbin/apache2 /usr/bin/php-cgi /usr/lib/apache2/suexec; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
  done
  for module in suexec fcgid cgid actions; do
    [ -e /usr/lib/apache2/modules/mod_$module.so ] || { echo "mod_$module is missing" >&2; exit 1; }
  done
  PHPGATE_BENCH_PRIVATE=1 exec unshare -m --propagation private "$0" "$(realpath "$phpgate")" \
    "$rounds" "$fcgid_requests" "$cgid_requests"
fi

# From here on in the private mount namespace: nothing mounted is seen outside.
work=$(mktemp -d /tmp/phpgate-suexec-bench.XXXXXX)
chmod 755 "$work"
apache_pid=
cleanup() {
  [ -n "$apache_pid" ] && kill "$apache_pid" 2>/dev/null && wait "$apache_pid" 2>/dev/null
  for m in /var/www /var/log/apache2 /etc "$work/tmpfs"; do umount "$m" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/tmpfs"
mount -t tmpfs phpgate-bench "$work/tmpfs"
mkdir "$work/tmpfs/upper" "$work/tmpfs/overlay-work"
mount -t overlay phpgate-bench -o "lowerdir=/etc,upperdir=$work/tmpfs/upper,workdir=$work/tmpfs/overlay-work" /etc
[ "$(findmnt -n -o FSTYPE /etc)" = overlay ] || { echo "no private overlay on /etc" >&2; exit 1; }
mount -t tmpfs phpgate-bench /var/www
mkdir -p /var/log/apache2 && mount -t tmpfs phpgate-bench /var/log/apache2
if [ -e /dev/log ]; then : >"$work/no-log" && mount --bind "$work/no-log" /dev/log; fi

echo 'vrkbench:x:2901:2901::/nonexistent:/usr/sbin/nologin' >>/etc/passwd
echo 'vrkbench:x:2901:' >>/etc/group
mkdir -p /etc/vrk "$work/sbin" "$work/run"
install -m 755 "$phpgate" "$work/sbin/phpgate"
printf '{"php": [{"id": "cgi", "path": "/usr/bin/php-cgi", "version": "8", "displayname": "PHP",
  "phpini": "", "type": "cgi"}]}\n' >/etc/vrk/php_versions.json
ini=/var/www/vhosts/system/bench.test/etc/php.ini
mkdir -p /var/www/vhosts/bench.test/httpdocs "$(dirname "$ini")" /var/www/php-wrappers/bench.test
printf 'memory_limit = 77M\n' >"$ini" && chgrp vrkbench "$ini" && chmod 640 "$ini"
echo '<?php echo ini_get("memory_limit"), "\n";' >/var/www/vhosts/bench.test/httpdocs/page.php
wrappers=/var/www/php-wrappers/bench.test
cat >"$wrappers/phpgate" <<W
#!/bin/sh
VK_CUSTOM_PHP_CGI_INDEX=cgi
VK_CUSTOM_PHP_INI=$ini
export VK_CUSTOM_PHP_CGI_INDEX VK_CUSTOM_PHP_INI
exec 2>/dev/null
exec $work/sbin/phpgate
W
cat >"$wrappers/php-cgi" <<W
#!/bin/sh
exec 2>/dev/null
exec /usr/bin/php-cgi -c $ini
W
chmod 755 "$wrappers"/*
chown -R vrkbench:vrkbench "$wrappers"

# One vhost (port) per arm: fcgid and cgid, each through phpgate and direct.
arms=(fcgid-phpgate fcgid-php-cgi cgid-phpgate cgid-php-cgi)
modules=/usr/lib/apache2/modules
{
  echo "ServerRoot $work"
  echo "DefaultRuntimeDir $work/run"
  echo "PidFile $work/run/httpd.pid"
  echo "ErrorLog $work/error.log"
  for m in mpm_event authz_core alias actions cgid env suexec fcgid; do
    echo "LoadModule ${m}_module $modules/mod_$m.so"
  done
  echo "User www-data"
  echo "Group www-data"
  echo "ServerName localhost"
  echo "<Directory /var/www/>"
  echo "  Require all granted"
  echo "</Directory>"
  echo "FcgidIPCDir $work/fcgid"
  echo "FcgidProcessTableFile $work/fcgid-shm"
  echo "FcgidMaxRequestsPerProcess 500"
  port=18400
  for arm in "${arms[@]}"; do
    port=$((port + 1))
    echo "Listen 127.0.0.1:$port"
    echo "<VirtualHost 127.0.0.1:$port>"
    echo "  DocumentRoot /var/www/vhosts/bench.test/httpdocs"
    echo "  SuexecUserGroup vrkbench vrkbench"
    wrapper=$wrappers/${arm#*-}
    if [ "${arm%%-*}" = fcgid ]; then
      echo "  <Files page.php>"
      echo "    SetHandler fcgid-script"
      echo "    FcgidWrapper $wrapper"
      echo "  </Files>"
      echo "  <Directory /var/www/vhosts/bench.test/httpdocs>"
      echo "    Options +ExecCGI"
      echo "  </Directory>"
    else
      echo "  ScriptAlias /wrapper/ $wrappers/"
      echo "  Action php-script /wrapper/${wrapper##*/}"
      echo "  <Files page.php>"
      echo "    SetHandler php-script"
      echo "  </Files>"
    fi
    echo "</VirtualHost>"
  done
} >"$work/httpd.conf"
/usr/sbin/apache2 -t -f "$work/httpd.conf" 2>/dev/null || { /usr/sbin/apache2 -t -f "$work/httpd.conf"; exit 1; }
/usr/sbin/apache2 -f "$work/httpd.conf" -DFOREGROUND &
apache_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:18401/" && break
  sleep 0.1
done

# requests/s of one arm; stops the bench when a request failed or the page
# is not the site's.
measure() {
  local port=$1 requests=$2 out
  [ "$(curl -s --max-time 20 "http://127.0.0.1:$port/page.php")" = 77M ] ||
    { echo "port $port: the page is not the site's" >&2; cat "$work/error.log" >&2; exit 1; }
  out=$(ab -q -n "$requests" -c "$concurrency" "http://127.0.0.1:$port/page.php")
  grep -q '^Failed requests: *0$' <<<"$out" || { echo "$out" >&2; exit 1; }
  ! grep -q '^Non-2xx' <<<"$out" || { echo "$out" >&2; exit 1; }
  awk '/^Requests per second/ { print $4 }' <<<"$out"
}
requests_of() { [ "${1%%-*}" = fcgid ] && echo "$fcgid_requests" || echo "$cgid_requests"; }

# A warm-up per arm (fcgid starts its processes), then interleaved rounds,
# the order reversed every other round, so that each arm of a pair runs
# first as often as the other.
for i in "${!arms[@]}"; do measure $((18401 + i)) 200 >/dev/null; done
echo "phpgate $phpgate; $rounds rounds of ${arms[*]}; ab -c $concurrency," \
  "$fcgid_requests (fcgid) / $cgid_requests (cgid) requests; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$work/rps"
for round in $(seq "$rounds"); do
  line=()
  for k in "${!arms[@]}"; do
    i=$((round % 2 ? k : ${#arms[@]} - 1 - k))
    line[$i]=$(measure $((18401 + i)) "$(requests_of "${arms[$i]}")")
  done
  echo "${line[*]}" >>"$work/rps"
done

# Median, min and max of a column or of a per-round ratio of two columns.
stats() { sort -g | awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%10.2f %10.2f %10.2f", m, a[1], a[NR] }'; }
printf '\n%-16s %10s %10s %10s\n' 'requests/s' median min max
for i in "${!arms[@]}"; do
  printf '%-16s %s\n' "${arms[$i]}" "$(awk -v c=$((i + 1)) '{ print $c }' "$work/rps" | stats)"
done
ratio() { awk -v a="$1" -v b="$2" '{ print $a / $b }' "$work/rps" | stats; }
printf '\n%-42s %10s %10s %10s\n' 'per-round ratio' median min max
fcgid_ratio=$(ratio 1 2)
printf '%-42s %s\n' 'fcgid: phpgate / php-cgi (target >= 0.95)' "$fcgid_ratio"
printf '%-42s %s\n' 'cgid:  phpgate / php-cgi' "$(ratio 3 4)"
printf '%-42s %s\n' 'phpgate: fcgid / cgid' "$(ratio 1 3)"
printf '%-42s %s\n' 'php-cgi: fcgid / cgid' "$(ratio 2 4)"
awk -v r="$(echo "$fcgid_ratio" | awk '{ print $1 }')" 'BEGIN { r += 0; print "\ntarget  fcgid phpgate / php-cgi >= 0.95: " (r >= 0.95 ? "met" : "MISSED") }'
