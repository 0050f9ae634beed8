#!/bin/sh
# Builds the Debian source and binary packages with dpkg-buildpackage, from
# a copy of the checkout in a temporary directory (dpkg-buildpackage writes
# into the parent of the tree it builds), and puts them in OUTDIR
# (build/package by default).
#
# With --check (as root, what CI runs) it also checks them: lintian
# --pedantic -I must show nothing; hardening-check must pass on every
# program; a second build, in another directory, at another (faked) time,
# under another umask and time zone, must give byte-identical .debs; and the
# autopkgtest (debian/tests) runs against them on this machine (runner
# "null": it installs, removes and purges the package here, under the lock
# /tmp/varek-dpkg.lock). It refuses when the package is already installed,
# and whatever happens, purges what it installed.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
check=
case "${1:-}" in --check) check=yes; shift ;; esac
out=${1:-$top/build/package}
package=varek-server-tools

work=$(mktemp -d /tmp/varek-package.XXXXXX)
cleanup() {
  status=$?
  if [ -n "${installed_here:-}" ] && dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q 'ok installed'; then
    flock /tmp/varek-dpkg.lock dpkg -P $package >/dev/null 2>&1 || echo "package: could not purge $package" >&2
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 2' HUP INT TERM
fail() { echo "package: $*" >&2; exit 1; }

# copy DIR: the sources of the checkout (what git knows, as they are in the
# tree, or without git every file but the build trees) into DIR/src.
copy() {
  mkdir -p "$1/src"
  if [ -e .git ] && command -v git >/dev/null; then
    git ls-files -z --cached --others --exclude-standard \
      | xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' list \
      | tar --null -T - -cf - | tar -C "$1/src" -xf -
  else
    tar --exclude=./build --exclude='./obj-*' -cf - . | tar -C "$1/src" -xf -
  fi
}
# build DIR [PREFIX...]: dpkg-buildpackage in DIR/src, run by PREFIX.
build() {
  dir=$1
  shift
  copy "$dir"
  (cd "$dir/src" && "$@" dpkg-buildpackage -us -uc) >"$dir/build.log" 2>&1 \
    || { tail -n 40 "$dir/build.log" >&2; fail "dpkg-buildpackage failed in $dir/src (log above)"; }
}

echo "== package build (dpkg-buildpackage -us -uc)"
build "$work/a"
mkdir -p "$out"
find "$work/a" -maxdepth 1 -type f -name "${package}*" -exec cp {} "$out/" \;
(cd "$work/a" && ls ${package}*) | sed 's/^/  /'
[ -n "$check" ] || { echo "package: made in $out"; exit 0; }

echo "== lintian --pedantic -I"
lintian --pedantic -I --fail-on error,warning,info,pedantic "$work"/a/${package}_*.changes \
  || fail "lintian found the tags above"

echo "== hardening-check"
# Where the C library's start files carry no CET marks (Debian 12), no
# program can be marked IBT/SHSTK, so control-flow protection is required
# only where they do; programs whose fortify tag lintian overrides (each
# with its reason, in debian/) are checked without it.
dpkg-deb -x "$work"/a/${package}_*_*.deb "$work/root"
cet=--nocfprotection
readelf -n "$(cc -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK' && cet=
unfortified=$(sed -n 's/.*hardening-no-fortify-functions \[\(.*\)\]$/\1/p' debian/$package.lintian-overrides | tr '\n' ' ')
for program in $(find "$work/root/usr/sbin" "$work/root/usr/libexec" -type f -perm -u+x); do
  [ "$(head -c 4 "$program" | tail -c 3)" = ELF ] || continue
  fortify=
  case " $unfortified " in *" ${program#"$work/root/"} "*) fortify=--nofortify ;; esac
  hardening-check $cet $fortify "$program" || fail "hardening-check ${program#"$work/root"}"
done

echo "== reproducibility: a second build elsewhere, later, another umask and time zone"
build "$work/second/build/tree" env TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 \
  sh -c 'umask 0002; exec faketime -f +397d "$@"' faketime
for deb in "$work"/a/*.deb; do
  cmp "$deb" "$work/second/build/tree/${deb##*/}" || fail "${deb##*/} differs between the two builds"
  echo "  identical: ${deb##*/} $(sha256sum <"$deb" | cut -c1-16)"
done

echo "== autopkgtest (runner null: on this machine)"
dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q 'ok installed' \
  && fail "$package is installed on this machine: not touching it"
installed_here=yes
if flock /tmp/varek-dpkg.lock autopkgtest "$work"/a/${package}_*.changes -- null >"$work/autopkgtest.log" 2>&1; then
  grep -E '^[a-z-]+ +(PASS|SKIP)' "$work/autopkgtest.log" | sort -u | sed 's/^/  /'
else
  cat "$work/autopkgtest.log"
  fail "autopkgtest failed (log above)"
fi
