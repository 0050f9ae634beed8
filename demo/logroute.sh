#!/bin/sh
# Demo: logroute splits a tagged access-log stream into a vhosts tree.
#
# usage (as root): demo/logroute.sh path/to/logroute
#
# logroute reads its fixed paths ("/etc/vrk/vrk.conf", "/var/www/vhosts",
# "/var/log/apache2"), so the demo runs in a private mount namespace with
# throw-away overlays over /etc and /var: the host's files are never touched.
# logroute runs from a copy made before the demo's empty trees go up, so it
# may be built anywhere.
set -eu

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
	echo "usage: $0 path/to/logroute" >&2
	exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "$0: must run as root (it needs a private mount namespace)" >&2
	exit 2
fi

logroute=$(readlink -f "$1")
scratch=$(mktemp -d /tmp/logroute-demo.XXXXXX)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT

unshare -m --propagation private sh -eu -s "$logroute" "$scratch" <<'INSIDE'
logroute=$1 scratch=$2
mount -t tmpfs logroute-demo "$scratch"
cp "$logroute" "$scratch/logroute"
logroute=$scratch/logroute
for dir in etc var; do
	mkdir -p "$scratch/$dir/upper" "$scratch/$dir/work"
	mount -t overlay overlay \
	    -o "lowerdir=/$dir,upperdir=$scratch/$dir/upper,workdir=$scratch/$dir/work" "/$dir"
done
# Start from empty trees whatever the host has there.
mkdir -p /var/www/vhosts /var/log/apache2
mount -t tmpfs vhosts /var/www/vhosts
mount -t tmpfs httpd-logs /var/log/apache2

mkdir -p /etc/vrk
cat > /etc/vrk/vrk.conf <<'CONF'
# Varek panel settings (the values logroute uses; these are the defaults)
HTTPD_VHOSTS_D	/var/www/vhosts
HTTPD_LOG_D	/var/log/apache2
CONF

# Domains with logs, one without (its lines go to the server-wide log).
mkdir -p /var/www/vhosts/system/example.com/logs \
         /var/www/vhosts/system/example.org/logs \
         /var/www/vhosts/system/legacy.test

echo "== panel configuration: /etc/vrk/vrk.conf"
cat /etc/vrk/vrk.conf
echo
echo "== input: host@@port@@log line, SSL ports 443 and 8443"
stream() {
	for i in 1 2 3; do
		echo "example.com@@80@@203.0.113.$i - - [08/Dec/2026:10:00:0$i +0000] \"GET / HTTP/1.1\" 200 512"
		echo "example.com@@443@@203.0.113.$i - - [08/Dec/2026:10:00:1$i +0000] \"GET /login HTTP/1.1\" 200 88"
		echo "shop.example.com@@8443@@198.51.100.$i - - [08/Dec/2026:10:01:0$i +0000] \"POST /cart HTTP/1.1\" 302 0"
		echo "www.example.org@@80@@192.0.2.$i - - [08/Dec/2026:10:02:0$i +0000] \"GET /feed HTTP/1.1\" 200 2048"
	done
	echo "legacy.test@@80@@192.0.2.9 - - [08/Dec/2026:10:03:00 +0000] \"GET / HTTP/1.1\" 200 10"
	echo "unknown.test@@443@@192.0.2.10 - - [08/Dec/2026:10:03:01 +0000] \"GET / HTTP/1.1\" 404 0"
	echo "../../../etc@@80@@an unsafe host name goes to the server-wide log"
	echo "a line without tags is skipped"
}
stream | sed 's/^/  /'
status=0
stream | "$logroute" 8443 || status=$?
if [ "$status" -ne 0 ]; then
	echo "logroute demo: logroute ended with status $status" >&2
	exit 1
fi
echo
echo "== output: files written, with their line counts"
for top in /var/www/vhosts /var/log/apache2; do
	find "$top" | sort | while read -r path; do
		depth=$(printf '%s' "${path#"$top"}" | tr -cd / | wc -c)
		indent=$(printf '%*s' $((depth * 4)) '')
		if [ -f "$path" ]; then
			printf '%s%s  (%d lines)\n' "$indent" "${path##*/}" "$(wc -l < "$path")"
		elif [ "$path" = "$top" ]; then
			printf '%s/\n' "$path"
		else
			printf '%s%s/\n' "$indent" "${path##*/}"
		fi
	done
done
echo
echo "== /var/www/vhosts/system/example.com/logs/access_ssl_log"
cat /var/www/vhosts/system/example.com/logs/access_ssl_log
INSIDE
