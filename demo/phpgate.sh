#!/bin/sh
# phpgate choosing between two PHP handlers of a registry at its real path,
# /etc/vrk/php_versions.json, and running real PHP the way a web server runs
# a CGI program. Run as root with the path of the built phpgate; everything
# happens in a private mount namespace: /tmp, /etc (an overlay) and /dev are
# private there, so the machine's own /etc/vrk and /dev/log stay untouched.
set -eu
phpgate=$(readlink -f "$1")

if [ "${PHPGATE_DEMO_NAMESPACE:-}" != yes ]; then
  exec env PHPGATE_DEMO_NAMESPACE=yes unshare -m --propagation private sh "$0" "$phpgate"
fi

php_cgi=/usr/bin/php-cgi
[ -x "$php_cgi" ] || { echo "phpgate demo: $php_cgi is not installed" >&2; exit 1; }

# Private /tmp, a writable overlay over /etc, and a /dev with only the few
# device nodes PHP needs and a syslog socket of our own.
mount -t tmpfs demo /tmp
mkdir -p /tmp/.etc/upper /tmp/.etc/work /tmp/.dev
mount -t overlay overlay -o lowerdir=/etc,upperdir=/tmp/.etc/upper,workdir=/tmp/.etc/work /etc
for node in null zero random urandom; do
  touch "/tmp/.dev/$node"
  mount --bind "/dev/$node" "/tmp/.dev/$node"
done
mount -t tmpfs demo-dev /dev
for node in null zero random urandom; do
  touch "/dev/$node"
  mount --bind "/tmp/.dev/$node" "/dev/$node"
done

# phpgate reports only to syslog: print what reaches /dev/log, if python3 is
# there to listen.
capture=""
if command -v python3 >/dev/null 2>&1; then
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
print("ready", flush=True)
while True:
    print("  syslog: " + s.recv(65536).decode(errors="replace"), flush=True)
' >> /tmp/syslog.txt &
  capture=$!
  while ! grep -q ready /tmp/syslog.txt 2>/dev/null; do sleep 0.1; done
fi
trap '[ -n "$capture" ] && kill "$capture" 2>/dev/null || true' EXIT

# Two handlers: the plain php-cgi, and php-cgi behind a wrapper that tunes it.
mkdir -p /etc/vrk /tmp/www /tmp/site /tmp/php
cat > /tmp/php/php-cgi-tuned <<'WRAPPER'
#!/bin/sh
exec /usr/bin/php-cgi -d memory_limit=512M -d precision=6 "$@"
WRAPPER
chmod 755 /tmp/php/php-cgi-tuned
cat > /etc/vrk/php_versions.json <<'JSON'
{"php": [
  {"id": "cgi", "path": "/usr/bin/php-cgi", "version": "8.2", "displayname": "PHP 8.2",
   "phpini": "/etc/php/8.2/cgi/php.ini", "type": "cgi", "system": true},
  {"id": "tuned", "path": "/tmp/php/php-cgi-tuned", "version": "8.2", "displayname": "PHP 8.2 tuned",
   "phpini": "/etc/php/8.2/cgi/php.ini", "type": "cgi"}
]}
JSON
cat > /tmp/www/hello.php <<'PHP'
<?php
printf("Hello from PHP %s (%s)\n", PHP_VERSION, PHP_SAPI);
printf("  ini file:     %s\n", php_ini_loaded_file());
printf("  memory_limit: %s, precision: %s\n", ini_get('memory_limit'), ini_get('precision'));
printf("  pi:           %s\n", M_PI);
printf("  POST name:    %s\n", $_POST['name'] ?? '(none)');
PHP
printf 'memory_limit = 64M\n' > /tmp/site/php.ini

echo "registry /etc/vrk/php_versions.json (inside the namespace):"
sed 's/^/  /' /etc/vrk/php_versions.json
echo

body='name=Varek+Tools'
# One POST request to hello.php, as a web server starts a CGI program.
request() {
  printf '%s' "$body" | env -i PATH=/usr/bin:/bin "$@" \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 SERVER_NAME=example.com SERVER_PORT=80 \
    REQUEST_METHOD=POST REQUEST_URI=/hello.php SCRIPT_NAME=/hello.php \
    SCRIPT_FILENAME=/tmp/www/hello.php DOCUMENT_ROOT=/tmp/www REDIRECT_STATUS=200 \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#body} \
    "$phpgate" | tr -d '\r' | sed 's/^/  | /'
}

# Prints what reached syslog since the last call.
show_syslog() {
  [ -n "$capture" ] || return 0
  sleep 0.2
  grep '^  syslog' /tmp/syslog.txt || true
  : > /tmp/syslog.txt
}

run() {
  echo "\$ $* phpgate"
  request "$@"
  show_syslog
  echo
}

run VK_CUSTOM_PHP_CGI_INDEX=cgi
run VK_CUSTOM_PHP_CGI_INDEX=tuned
run VK_CUSTOM_PHP_CGI_INDEX=cgi VK_CUSTOM_PHP_INI=/tmp/site/php.ini
run VK_CUSTOM_PHP_CGI_INDEX=tuned VK_CUSTOM_PHP_INI=/tmp/site/missing.ini

echo "\$ VK_CUSTOM_PHP_CGI_INDEX=php74 phpgate"
status=0
env -i VK_CUSTOM_PHP_CGI_INDEX=php74 "$phpgate" </dev/null || status=$?
show_syslog
echo "  exit status $status"
