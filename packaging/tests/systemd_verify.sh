#!/bin/sh
# systemd_verify.sh CMAKE BUILD_DIR: installs the build into a scratch prefix,
# so that the units name programs that exist, and runs systemd-analyze verify
# on sessreap.service and sessreap.timer; checks that the service's exposure
# (systemd-analyze security) stays at most 2.5 and the cron file's line.
set -u
cmake=$1 build=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is not installed"; exit 77; }
root=$(mktemp -d) || exit 1
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root/usr" >/dev/null || { echo "install failed"; exit 1; }
units="$root/usr/lib/systemd/system"
status=0
for unit in sessreap.service sessreap.timer; do
  [ -f "$units/$unit" ] || { echo "$unit not installed"; exit 1; }
done
sweep="$root/usr/libexec/varek-server-tools/sessreap-sweep"
grep -qx "ExecStart=$sweep" "$units/sessreap.service" \
  || { echo "ExecStart does not name the installed sweep:"; grep ExecStart "$units/sessreap.service"; status=1; }
dirs="$root/usr/libexec/varek-server-tools/sessreap-dirs"
[ -x "$dirs" ] && grep -qF "$dirs " "$sweep" || { echo "the sweep does not run $dirs"; status=1; }
sh -n "$sweep" || status=1
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$units/sessreap.service" "$units/sessreap.timer" 2>&1)
rc=$?
# Messages about the host's own units (systemd loads the default targets)
# are not ours; anything naming our units is.
ours=$(printf '%s\n' "$out" | grep sessreap)
if [ $rc -ne 0 ] || [ -n "$ours" ]; then
  echo "systemd-analyze verify (status $rc):"; echo "$out"; status=1
fi
# The timer starts the service every 30 minutes.
next=$(systemd-analyze calendar --iterations=3 "$(sed -n 's/^OnCalendar=//p' "$units/sessreap.timer")" 2>&1)
printf '%s\n' "$next" | grep -Eq ':(00|30):00' || { echo "calendar:"; echo "$next"; status=1; }
# Confinement: exposure at most 2.5 on systemd's scale of 0 to 10, keeping
# what sessreap needs: without CAP_SYS_PTRACE it cannot read other users'
# /proc/PID/fd and would remove the session files they hold open.
grep -qx 'CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_FOWNER CAP_SYS_PTRACE' "$units/sessreap.service" \
  || { echo "sessreap.service lacks a capability sessreap needs"; status=1; }
systemd-analyze security --offline=true --threshold=25 "$units/sessreap.service" >"$root/security" 2>&1 \
  || { echo "sessreap.service is exposed above 2.5:"; grep -v '✓' "$root/security"; status=1; }

# Cron: the one job line has five time fields, the user root and the
# installed sweep, as the service; its command is valid shell.
cron="$root/usr/etc/cron.d/sessreap"
[ -f "$cron" ] || { echo "cron file not installed"; exit 1; }
jobs=$(grep -Ev '^(#|$|[A-Z]+=)' "$cron")
[ "$(printf '%s\n' "$jobs" | wc -l)" -eq 1 ] || { echo "expected one job line:"; echo "$jobs"; status=1; }
printf '%s\n' "$jobs" | grep -Eq "^0,30 \* \* \* \*[[:space:]]+root[[:space:]]+.*&& $sweep\$" \
  || { echo "unexpected job line: $jobs"; status=1; }
command=$(printf '%s\n' "$jobs" | sed -E 's/^([^[:space:]]+[[:space:]]+){6}//')
sh -n -c "$command" || { echo "job command is not valid shell: $command"; status=1; }
exit $status
