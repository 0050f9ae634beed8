#!/bin/sh
# Installs what building, testing and the demo need (Debian 12, as root).
# Packages already present are left alone.
set -eu

packages="build-essential cmake ninja-build clang libclang-rt-14-dev libboost-dev libgtest-dev
  googletest libbenchmark-dev util-linux faketime php-cli php-cgi apache2 curl openssl jq
  valgrind tree mandoc man-db dpkg-dev systemd clang-format logrotate"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
# Apache is started by the tests with a configuration of their own; the
# package's own instance is not needed.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet apache2 2>/dev/null; then
  systemctl stop apache2 || true
fi
