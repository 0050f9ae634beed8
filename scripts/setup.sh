#!/bin/sh
# Installs what building, testing and the demo need (Debian 12, as root).
#
# What it changes on the machine, each announced as it happens:
# - installs the packages below that are missing, with apt-get (after an
#   apt-get update); packages already present are left alone;
# - stops the apache2 service when it runs (the tests start Apache with a
#   configuration of their own; installing apache2 starts the package's);
# - disables mod_fcgid in the machine's Apache (a2dismod) when it has just
#   installed libapache2-mod-fcgid, whose installation enables it (the tests
#   load it in their own Apache only).
set -eu

packages="build-essential cmake ninja-build clang libclang-rt-14-dev libboost-dev libgtest-dev
  googletest libbenchmark-dev util-linux faketime php-cli php-cgi apache2 curl openssl jq
  valgrind tree mandoc man-db dpkg-dev systemd clang-format lintian devscripts python3 logrotate
  apache2-suexec-pristine libapache2-mod-fcgid apache2-utils libcap2-bin debhelper apache2-dev
  autopkgtest"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing these missing packages with apt-get:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
  case " $missing " in
  *" libapache2-mod-fcgid "*)
    echo "setup: disabling mod_fcgid, which installing libapache2-mod-fcgid enabled (a2enmod fcgid enables it again)"
    a2dismod -q fcgid >/dev/null
    ;;
  esac
fi
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet apache2 2>/dev/null; then
  echo "setup: stopping the running apache2 service (systemctl start apache2 starts it again)"
  systemctl stop apache2 || echo "setup: could not stop apache2; the tests start their own Apache anyway" >&2
fi
