#!/bin/bash
# phpgate's cost per start (fork, exec, wait) against floors and peers
# measured in the same run, with registries of 5 and of 500 handlers whose
# last one is wanted and runs /bin/true. Prints medians over interleaved
# rounds and per-round ratios (this machine is noisy: read the ratios).
#
#   bench/phpgate.sh [path/to/phpgate] [rounds] [LABEL=path/to/other/phpgate ...]	(as root)
#
# Other builds of phpgate (unhardened, linked lazily, static) given as
# LABEL=PATH run in the same rounds and are compared with the first one.
#
# floors: /bin/true started directly; a static C wrapper that only execl's it;
#         the contract floor, a static C wrapper that first reads the
#         registry whole into a heap buffer, as phpgate's lookup must
# peers:  a /bin/sh wrapper with the path written in; a /bin/sh wrapper that
#         looks the path up in the registry with jq
#
# The registry sits at /etc/vrk/php_versions.json only inside a private mount
# namespace, on an overlay of /etc whose upper layer is a tmpfs; the host's
# /etc, /dev/log and /var are left as they are.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
phpgate=${1:-build/default/php_launcher/phpgate}
rounds=${2:-300}
others=("${@:3}")
sizes="5 500"
wanted=wanted

if [ -z "${PHPGATE_BENCH_PRIVATE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (the registry needs a mount namespace)" >&2; exit 1; }
  [ -x "$phpgate" ] || { echo "no phpgate at $phpgate (build it first)" >&2; exit 1; }
  for tool in unshare cc jq; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
  done
  resolved=()
  for other in "${others[@]}"; do
    [[ $other == ?*=?* && -x ${other#*=} ]] || { echo "not LABEL=EXECUTABLE: $other" >&2; exit 1; }
    resolved+=("${other%%=*}=$(realpath "${other#*=}")")
  done
  PHPGATE_BENCH_PRIVATE=1 exec unshare -m --propagation private "$0" "$(realpath "$phpgate")" "$rounds" \
    "${resolved[@]}"
fi

# From here on in the private mount namespace: nothing mounted is seen outside.
work=$(mktemp -d /tmp/phpgate-bench.XXXXXX)
cleanup() {
  umount /etc 2>/dev/null || true
  umount "$work" 2>/dev/null || true
  rmdir "$work"
}
trap cleanup EXIT
mount -t tmpfs phpgate-bench "$work"
mkdir "$work/upper" "$work/overlay-work" "$work/bin"
mount -t overlay phpgate-bench -o "lowerdir=/etc,upperdir=$work/upper,workdir=$work/overlay-work" /etc
[ "$(findmnt -n -o FSTYPE /etc)" = overlay ] || { echo "no private overlay on /etc" >&2; exit 1; }
# A failing phpgate would log: keep that away from the host's syslog.
if [ -e /dev/log ]; then
  : >"$work/no-log"
  mount --bind "$work/no-log" /dev/log
fi
mkdir -p /etc/vrk

cc -O2 -Wall -Wextra -o "$work/spawn" "$here/phpgate/spawn.c"
cc -static -O2 -Wall -Wextra -o "$work/bin/static-execl" "$here/phpgate/wrapper.c"
cc -static -O2 -Wall -Wextra -o "$work/bin/static-read" "$here/phpgate/read_wrapper.c"
printf '#!/bin/sh\nexec /bin/true\n' >"$work/bin/sh-path"
cat >"$work/bin/sh-jq" <<'EOF'
#!/bin/sh
exec "$(jq -r --arg id "$VK_CUSTOM_PHP_CGI_INDEX" '.php[]|select(.id==$id)|.path' /etc/vrk/php_versions.json)"
EOF
chmod +x "$work/bin/sh-path" "$work/bin/sh-jq"

# A registry of n handlers with every member given; the last one is the one
# wanted and names /bin/true, the others name executables that don't exist
# (so a launcher that picks the wrong one fails the run).
registry() {
  awk -v n="$1" -v wanted="$wanted" 'BEGIN {
    printf "{\n  \"php\": [\n"
    for (i = 1; i <= n; i++) {
      id = i == n ? wanted : sprintf("php%d", i)
      path = i == n ? "/bin/true" : sprintf("/opt/php%d/bin/php-cgi", i)
      printf "    { \"id\": \"%s\", \"path\": \"%s\", \"clipath\": \"/opt/php%d/bin/php\", " \
        "\"version\": \"8.%d.%d\", \"displayname\": \"PHP 8.%d.%d (handler %d)\", " \
        "\"phpini\": \"/opt/php%d/etc/php.ini\", \"type\": \"fastcgi\", \"system\": false, " \
        "\"service\": \"php%d-fpm\", \"poold\": \"/opt/php%d/etc/php-fpm.d\" }%s\n",
        id, path, i, i % 4, i % 30, i % 4, i % 30, i, i, i, i, i < n ? "," : ""
    }
    printf "  ]\n}\n"
  }'
}

names=(true static-execl static-read sh-path phpgate sh-jq)
programs=(/bin/true "$work/bin/static-execl" "$work/bin/static-read" "$work/bin/sh-path" "$phpgate" "$work/bin/sh-jq")
col_true=1 col_static=2 col_read=3 col_phpgate=5 col_jq=6
for other in "${others[@]}"; do
  names+=("${other%%=*}")
  programs+=("${other#*=}")
done
export VK_CUSTOM_PHP_CGI_INDEX=$wanted
unset VK_CUSTOM_PHP_INI

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$2" '{ print $c }' "$1" | median; }
# Median over the rounds of the ratio of two programs' times in one round.
ratio() { awk -v a="$2" -v b="$3" '{ print $a / $b }' "$1" | median; }

link=static
if readelf -l "$phpgate" 2>/dev/null | grep -q INTERP; then link=dynamic; fi
echo "phpgate $phpgate ($link); $rounds interleaved rounds per registry;" \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-9s %-13s %10s %9s %7s %7s %9s\n' handlers program median_us x_static x_true faults syscalls
for n in $sizes; do
  registry "$n" >/etc/vrk/php_versions.json
  "$work/spawn" "$rounds" "${programs[@]}" >"$work/times.$n"
  "$work/spawn" -f 5 "${programs[@]}" >"$work/faults.$n"
  for i in "${!names[@]}"; do
    c=$((i + 1))
    calls=-
    if command -v strace >/dev/null; then
      strace -f -qq -c -o "$work/strace" "${programs[$i]}" || true
      calls=$(awk '$NF == "total" { print $4 }' "$work/strace")
    fi
    printf '%-9s %-13s %10.1f %9.2f %7.2f %7.0f %9s\n' "$n" "${names[$i]}" \
      "$(column "$work/times.$n" $c)" "$(ratio "$work/times.$n" $c $col_static)" \
      "$(ratio "$work/times.$n" $c $col_true)" "$(column "$work/faults.$n" $c)" "$calls"
  done
done

last=${sizes##* }
vs_static=$(ratio "$work/times.$last" $col_phpgate $col_static)
jq_over=$(ratio "$work/times.$last" $col_jq $col_phpgate)
read_floor=$(ratio "$work/times.$last" $col_read $col_static)
vs_read=$(ratio "$work/times.$last" $col_phpgate $col_read)
verdict() { awk -v v="$1" -v t="$2" -v op="$3" 'BEGIN { ok = op == "<=" ? v <= t : v >= t; print ok ? "met" : "MISSED" }'; }
echo
printf 'target  phpgate / static-execl, %s handlers <= 1.10: %6.2f  %s\n' "$last" "$vs_static" "$(verdict "$vs_static" 1.10 '<=')"
printf 'target  sh-jq / phpgate, %s handlers >= 10:         %6.1f  %s\n' "$last" "$jq_over" "$(verdict "$jq_over" 10 '>=')"
printf 'context static-read / static-execl, %s handlers:    %6.2f  (reading the registry alone)\n' "$last" "$read_floor"
printf 'context phpgate / static-read, %s handlers:         %6.2f  (parse and start-up on top of it)\n' "$last" "$vs_read"
for i in "${!others[@]}"; do
  c=$((col_jq + 1 + i))
  for n in $sizes; do
    printf 'compare %s / phpgate, %s handlers: %6.3f\n' "${names[$((c - 1))]}" "$n" "$(ratio "$work/times.$n" $c $col_phpgate)"
  done
done
