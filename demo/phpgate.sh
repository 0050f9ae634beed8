#!/bin/sh
# phpgate choosing between two PHP handlers of a registry at its real path,
# /etc/vrk/php_versions.json, and running real PHP the way a web server runs
# a CGI program.
#
# usage (as root): demo/phpgate.sh path/to/phpgate
#
# Everything happens in a private mount namespace, with throw-away overlays
# over /etc and /var and a /dev of its own (a few device nodes and a syslog
# socket): the machine's own /etc/vrk, /var/www and /dev/log stay untouched,
# and nothing is hidden, so phpgate may be built anywhere (under /tmp too).
set -eu

fail() {
  echo "phpgate demo: $*" >&2
  exit 1
}

if [ -z "${PHPGATE_DEMO_SCRATCH:-}" ]; then
  if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 path/to/phpgate" >&2
    exit 2
  fi
  [ "$(id -u)" -eq 0 ] || fail "must run as root (it needs a private mount namespace)"
  scratch=$(mktemp -d /tmp/phpgate-demo.XXXXXX)
  trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
  status=0
  PHPGATE_DEMO_SCRATCH=$scratch unshare -m --propagation private sh "$0" "$(readlink -f "$1")" ||
    status=$?
  exit "$status"
fi

# From here on inside the private namespace.
phpgate=$1
scratch=$PHPGATE_DEMO_SCRATCH
php_cgi=/usr/bin/php-cgi
[ -x "$php_cgi" ] || fail "$php_cgi is not installed (sh scripts/setup.sh installs it)"
command -v python3 >/dev/null 2>&1 || fail "python3 (to show what phpgate sends to syslog) is not installed"

mount -t tmpfs phpgate-demo "$scratch"
for dir in etc var; do
  mkdir -p "$scratch/$dir/upper" "$scratch/$dir/work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$scratch/$dir/upper,workdir=$scratch/$dir/work" "/$dir"
done
mkdir -p "$scratch/dev"
for node in null zero random urandom; do
  touch "$scratch/dev/$node"
  mount --bind "/dev/$node" "$scratch/dev/$node"
done
mount -t tmpfs demo-dev /dev
for node in null zero random urandom; do
  touch "/dev/$node"
  mount --bind "$scratch/dev/$node" "/dev/$node"
done

# phpgate reports only to syslog: print what reaches /dev/log.
syslog=$scratch/syslog.txt
python3 -c '
import socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
print("ready", flush=True)
while True:
    print("  syslog: " + s.recv(65536).decode(errors="replace"), flush=True)
' >>"$syslog" &
capture=$!
trap 'kill "$capture" 2>/dev/null || true' EXIT
tries=0
until grep -q '^ready$' "$syslog" 2>/dev/null; do
  kill -0 "$capture" 2>/dev/null || fail "the syslog listener (python3) ended before it listened on /dev/log"
  [ "$tries" -lt 100 ] || fail "the syslog listener (python3) did not listen on /dev/log within 10 s"
  tries=$((tries + 1))
  sleep 0.1
done

# Two handlers: the plain php-cgi, and php-cgi behind a wrapper that tunes it.
site=/var/www/vhosts/example.com/httpdocs
site_etc=/var/www/vhosts/system/example.com/etc
mkdir -p /etc/vrk /var/lib/vrk "$site" "$site_etc"
cat >/var/lib/vrk/php-cgi-tuned <<'WRAPPER'
#!/bin/sh
exec /usr/bin/php-cgi -d memory_limit=512M -d precision=6 "$@"
WRAPPER
chmod 755 /var/lib/vrk/php-cgi-tuned
cat >/etc/vrk/php_versions.json <<'JSON'
{"php": [
  {"id": "cgi", "path": "/usr/bin/php-cgi", "version": "8.2", "displayname": "PHP 8.2",
   "phpini": "/etc/php/8.2/cgi/php.ini", "type": "cgi", "system": true},
  {"id": "tuned", "path": "/var/lib/vrk/php-cgi-tuned", "version": "8.2", "displayname": "PHP 8.2 tuned",
   "phpini": "/etc/php/8.2/cgi/php.ini", "type": "cgi"}
]}
JSON
cat >"$site/hello.php" <<'PHP'
<?php
printf("Hello from PHP %s (%s)\n", PHP_VERSION, PHP_SAPI);
printf("  ini file:     %s\n", php_ini_loaded_file());
printf("  memory_limit: %s, precision: %s\n", ini_get('memory_limit'), ini_get('precision'));
printf("  pi:           %s\n", M_PI);
printf("  POST name:    %s\n", $_POST['name'] ?? '(none)');
PHP
printf 'memory_limit = 64M\n' >"$site_etc/php.ini"

echo "registry /etc/vrk/php_versions.json (inside the namespace):"
sed 's/^/  /' /etc/vrk/php_versions.json
echo

# Prints what reached syslog since the last call.
show_syslog() {
  sleep 0.2
  grep '^  syslog' "$syslog" || true
  : >"$syslog"
}

# run EXPECTED_STATUS NAME=VALUE...: one POST request to hello.php, as a web
# server starts a CGI program, with the variables given; fails the demo
# when phpgate does not end with the status expected.
body='name=Varek+Tools'
run() {
  expected=$1
  shift
  echo "\$ $* phpgate"
  status=0
  printf '%s' "$body" | env -i PATH=/usr/bin:/bin "$@" \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 SERVER_NAME=example.com SERVER_PORT=80 \
    REQUEST_METHOD=POST REQUEST_URI=/hello.php SCRIPT_NAME=/hello.php \
    SCRIPT_FILENAME="$site/hello.php" DOCUMENT_ROOT="$site" REDIRECT_STATUS=200 \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#body} \
    "$phpgate" >"$scratch/response" || status=$?
  tr -d '\r' <"$scratch/response" | sed 's/^/  | /'
  show_syslog
  [ "$status" -eq 0 ] || echo "  exit status $status"
  echo
  [ "$status" -eq "$expected" ] || fail "phpgate ended with status $status, expected $expected"
}

run 0 VK_CUSTOM_PHP_CGI_INDEX=cgi
run 0 VK_CUSTOM_PHP_CGI_INDEX=tuned
run 0 VK_CUSTOM_PHP_CGI_INDEX=cgi VK_CUSTOM_PHP_INI="$site_etc/php.ini"
run 0 VK_CUSTOM_PHP_CGI_INDEX=tuned VK_CUSTOM_PHP_INI="$site_etc/missing.ini"
run 1 VK_CUSTOM_PHP_CGI_INDEX=php74
