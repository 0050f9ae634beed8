#!/bin/sh
# package_test.sh CPACK BUILD_DIR: builds the Debian package, checks it with
# lintian and hardening-check, installs it on this machine with dpkg -i, runs
# each program from its installed path, enables the Apache confs, removes it
# (no enabled conf may be left naming a removed program), installs it again
# and purges it, and checks that nothing of it is left.
#
# This installs for real, so it is careful: it runs only as root with dpkg;
# it refuses to start when a package of this name is already installed (it
# would replace it); and whatever happens, the exit trap purges the package.
# The programs run in a private mount namespace with an empty /dev, so that
# phpgate's syslog message stays away from the machine's /dev/log. (Removal
# reloads the machine's Apache if it runs, as any package's removal would.)
set -u
cpack=$1 build=$2
package=varek-server-tools

[ "$(id -u)" -eq 0 ] || { echo "needs root"; exit 77; }
for tool in dpkg dpkg-deb dpkg-query unshare lintian hardening-check; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool is not installed"; exit 77; }
done
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv 'not-installed'; }
if installed; then
  echo "$package is already installed on this machine: not touching it"; exit 77
fi

work=$(mktemp -d) || exit 1
# Apache's tools make their state directories as they first need them: the
# ones this test caused to be made go again when they are empty.
find /var/lib/apache2 -type d 2>/dev/null | sort >"$work/apache-dirs"
cleanup() {
  if installed; then dpkg -P "$package" >/dev/null 2>&1 || echo "WARNING: could not purge $package"; fi
  find /var/lib/apache2 -type d 2>/dev/null | sort | comm -13 "$work/apache-dirs" - | sort -r | xargs -r rmdir 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' HUP INT TERM
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- build -----------------------------------------------------------------
( cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" ) >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/out/${package}_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no package built"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package: $(field Package)"
[ "$(field Section)" = admin ] || fail "Section: $(field Section)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
field Maintainer | grep -Eq '^[^<]+ <[^@>]+@[^>]+>$' || fail "Maintainer: $(field Maintainer)"
field Description | head -n 1 | grep -q 'session reaper' || fail "Description: $(field Description)"
field Depends | grep -q 'libc6' || fail "Depends: $(field Depends)"
dpkg-deb -I "$deb" conffiles >"$work/conffiles" || fail "no conffiles"
for f in /etc/default/sessreap /etc/cron.d/sessreap /etc/apache2/conf-available/vrk-logroute.conf \
         /etc/apache2/conf-available/vrk-phpgate.conf /etc/logrotate.d/vrk-logroute; do
  grep -qx "$f" "$work/conffiles" || fail "$f is not a conffile"
done
dpkg-deb -c "$deb" >"$work/contents"
for f in /usr/sbin/sessreap /usr/sbin/phpgate /usr/sbin/logroute \
         /usr/sbin/phpgate-check /usr/sbin/logroute-check \
         /usr/share/man/man8/sessreap.8.gz /usr/share/man/man8/phpgate.8.gz \
         /usr/share/man/man8/logroute.8.gz /usr/share/man/man5/vrk.conf.5.gz \
         /usr/share/man/man8/phpgate-check.8.gz /usr/share/man/man8/logroute-check.8.gz \
         /usr/lib/systemd/system/sessreap.service /usr/lib/systemd/system/sessreap.timer \
         /etc/cron.d/sessreap /usr/libexec/varek-server-tools/sessreap-sweep \
         /usr/libexec/varek-server-tools/sessreap-dirs /usr/share/man/man8/sessreap-sweep.8.gz \
         /usr/share/doc/$package/copyright /usr/share/doc/$package/changelog.gz; do
  grep -q " \.$f\$" "$work/contents" || fail "$f is not in the package"
done
# Nothing outside the directories the package is meant to use.
if grep -Ev ' \./(usr/(sbin|share/man|lib/systemd/system|libexec/varek-server-tools|share/doc/varek-server-tools|share/lintian/overrides)|etc/(cron\.d|default|apache2/conf-available|logrotate\.d))?(/|$)' "$work/contents" \
   | grep -Ev ' \./(usr|usr/share|usr/share/lintian|usr/lib|usr/lib/systemd|usr/libexec|usr/share/doc|etc|etc/apache2)/$'; then
  fail "files outside the expected directories (listed above)"
fi
# Debian policy: no lintian error or warning (overrides carry their reasons).
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }

# What the package leaves in /etc and in the state of dpkg's helpers: the
# same after the purge as now.
ours() { find /etc /var/lib/apache2 /var/lib/systemd -name '*sessreap*' -o -name 'vrk-*' 2>/dev/null | sort; }
ours >"$work/ours-before"

# --- install ---------------------------------------------------------------
dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log"; fail "dpkg -i"; exit 1; }
dpkg-query -L "$package" >"$work/files"
sweep=/usr/libexec/varek-server-tools/sessreap-sweep
grep -qx "ExecStart=$sweep" /usr/lib/systemd/system/sessreap.service || fail "unit does not name $sweep"
grep -q "&& $sweep\$" /etc/cron.d/sessreap || fail "cron line does not name $sweep"
grep -q 'Define VAREK_SBINDIR /usr/sbin' /etc/apache2/conf-available/vrk-phpgate.conf || fail "Apache snippet does not name /usr/sbin"
# Debian's hardening, as hardening-check sees it. Exceptions: sessreap has
# no call left for _FORTIFY_SOURCE to check (its readlink calls are proven
# in bounds when compiled); and where the C library's start files carry no
# CET marks (Debian 12), no program can be marked IBT/SHSTK, so control-flow
# protection is required only where they do.
cet=--nocfprotection
readelf -n "$(cc -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK' && cet=
hardening-check $cet /usr/sbin/phpgate /usr/sbin/logroute /usr/sbin/phpgate-check /usr/sbin/logroute-check \
    >"$work/hardening.log" 2>&1 \
  && hardening-check $cet --nofortify /usr/sbin/sessreap /usr/libexec/varek-server-tools/sessreap-dirs \
    >>"$work/hardening.log" 2>&1 \
  || { cat "$work/hardening.log"; fail "hardening-check"; }

# --- run the installed programs, away from the machine's /dev ------------
sessions=$(mktemp -d) && touch "$sessions/sess_fresh" && mkdir "$sessions/site1" \
  && touch "$sessions/site1/sess_a"
unshare --mount --propagation private sh -c '
  mount -t tmpfs -o mode=755 none /dev && mknod -m 666 /dev/null c 1 3 || exit 99
  out=$1
  /usr/sbin/sessreap -h >"$out/sessreap-h.out" 2>"$out/sessreap-h.err"; echo $? >"$out/sessreap-h.rc"
  /usr/sbin/sessreap -v "$2" 60 >"$out/sessreap.out" 2>"$out/sessreap.err"; echo $? >"$out/sessreap.rc"
  printf "SESSREAP_DIRS=\"/nonexistent/sessions %s/sess_fresh %s/*/none %s/site*:60 %s/site1\"\n" \
    "$2" "$2" "$2" "$2" >"$out/defaults"
  SESSREAP_DEFAULTS="$out/defaults" "$3" -v >"$out/sweep.out" 2>"$out/sweep.err"; echo $? >"$out/sweep.rc"
  env -i VK_CUSTOM_PHP_CGI_INDEX=varek-package-test-no-such-handler /usr/sbin/phpgate \
    >"$out/phpgate.out" 2>"$out/phpgate.err" </dev/null; echo $? >"$out/phpgate.rc"
  /usr/sbin/logroute </dev/null >"$out/logroute.out" 2>"$out/logroute.err"; echo $? >"$out/logroute.rc"
  /usr/sbin/phpgate-check >"$out/phpgate-check.out" 2>"$out/phpgate-check.err"; echo $? >"$out/phpgate-check.rc"
  # (what it says on stderr of the vrk.conf of this machine is not looked at)
  /usr/sbin/logroute-check >"$out/logroute-check.out" 2>/dev/null; echo $? >"$out/logroute-check.rc"
  MANWIDTH=80 man -l /usr/share/man/man8/sessreap.8.gz >"$out/man.out" 2>&1; echo $? >"$out/man.rc"
' package-test "$work" "$sessions" "$sweep"
[ $? -eq 0 ] || fail "could not run the programs in a private namespace"
expect() { # name rc stdout-text(or -) stderr-text(or -)
  [ "$(cat "$work/$1.rc" 2>/dev/null)" = "$2" ] || fail "$1: status $(cat "$work/$1.rc" 2>/dev/null), expected $2"
  if [ "$3" = - ]; then [ ! -s "$work/$1.out" ] || fail "$1 wrote on stdout: $(cat "$work/$1.out")"
  else grep -qF -- "$3" "$work/$1.out" || fail "$1: stdout lacks '$3': $(cat "$work/$1.out")"; fi
  if [ "$4" = - ]; then [ ! -s "$work/$1.err" ] || fail "$1 wrote on stderr: $(cat "$work/$1.err")"
  else grep -qF -- "$4" "$work/$1.err" || fail "$1: stderr lacks '$4': $(cat "$work/$1.err")"; fi
}
expect sessreap-h 0 "usage: [-v] <session_dir> <lifetime_minutes>" -
expect sessreap 0 - "INFO: Skip file '$sessions/sess_fresh': not expired yet"
[ -f "$sessions/sess_fresh" ] || fail "sessreap removed a fresh session file"
# A missing directory is a warning, a pattern that matches nothing is
# skipped, a file in place of a directory fails the run after the directory
# listed after it (by a pattern, then again by name: swept once) was swept.
expect sweep 1 - "INFO: directories swept: 1, files removed: 0, kept in use: 0, failed: 1"
for line in "Warning: session directory /nonexistent/sessions does not exist: skipped" \
            "Error: opendir($sessions/sess_fresh) failed : Not a directory" \
            "INFO: Skip file '$sessions/site1/sess_a': not expired yet"; do
  [ "$(grep -cxF "$line" "$work/sweep.err")" = 1 ] || fail "sweep: not once '$line': $(cat "$work/sweep.err")"
done
rm -rf "$sessions"
expect phpgate 1 - -
expect logroute 0 - -
expect phpgate-check 1 - "phpgate: unable to read list of php installations"
expect logroute-check 0 "HTTPD_VHOSTS_D" -
# Minimal images (Docker's Debian) tell dpkg not to install manuals at all.
if [ -f /usr/share/man/man8/sessreap.8.gz ]; then
  [ "$(cat "$work/man.rc")" = 0 ] && grep -q 'sessreap' "$work/man.out" || fail "man -l: $(cat "$work/man.out")"
elif ! cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | grep -q '^path-exclude.*/usr/share/man'; then
  fail "the manuals were not installed"
fi

# --- enable the Apache confs, remove, install again, purge ------------------
# vrk-phpgate is linked by hand: a2enconf refuses it while mod_actions is off,
# and Apache must start with it all the same.
apache=
if command -v a2enconf >/dev/null && command -v apache2ctl >/dev/null; then
  apache=yes
  a2enconf -q vrk-logroute >/dev/null || fail "a2enconf vrk-logroute"
  ln -sf ../conf-available/vrk-phpgate.conf /etc/apache2/conf-enabled/vrk-phpgate.conf
  apache2ctl configtest >"$work/configtest.log" 2>&1 || { cat "$work/configtest.log"; fail "configtest with the confs"; }
fi
dpkg -r "$package" >"$work/dpkg-r.log" 2>&1 || { cat "$work/dpkg-r.log"; fail "dpkg -r"; }
for f in /usr/sbin/sessreap /usr/sbin/phpgate /usr/sbin/logroute /usr/lib/systemd/system/sessreap.timer; do
  [ ! -e "$f" ] || fail "$f left after dpkg -r"
done
[ -f /etc/cron.d/sessreap ] || fail "dpkg -r removed the conffile /etc/cron.d/sessreap"
if [ -n "$apache" ]; then
  enabled=$(grep -lE 'logroute|phpgate' /etc/apache2/conf-enabled/*.conf 2>/dev/null)
  [ -z "$enabled" ] || fail "enabled after dpkg -r, naming a removed program: $enabled"
  apache2ctl configtest >"$work/configtest.log" 2>&1 || { cat "$work/configtest.log"; fail "configtest after dpkg -r"; }
  # Installed again, the package enables again what its removal disabled.
  dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log"; fail "dpkg -i again"; }
  [ -L /etc/apache2/conf-enabled/vrk-logroute.conf ] || fail "vrk-logroute not enabled again by dpkg -i"
fi
dpkg -P "$package" >"$work/dpkg-P.log" 2>&1 || { cat "$work/dpkg-P.log"; fail "dpkg -P"; }
installed && fail "$package still known to dpkg after purge"
ours | diff "$work/ours-before" - || fail "left after purge (+) under /etc or in dpkg's helpers' state"
# Every file the package had is gone (directories shared with others stay).
while read -r f; do
  [ -d "$f" ] && continue
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f left after purge"
  [ ! -e "$f.dpkg-old" ] && [ ! -e "$f.dpkg-dist" ] || fail "$f.dpkg-* left after purge"
done <"$work/files"

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "package $(basename "$deb") built, installed, run and purged"
