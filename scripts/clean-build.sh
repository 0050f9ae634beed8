#!/bin/sh
# Builds the Debian packages of the committed tree (git archive HEAD) in a
# clean Debian 12 chroot that holds only build-essential: the chroot
# installs the Build-Depends of debian/control and nothing else, and an
# unprivileged user runs dpkg-buildpackage -us -uc there. So a missing
# Build-Depends fails the build. The results go to OUTDIR (build/clean by
# default); when build/package holds the .debs of scripts/package.sh, they
# are compared byte for byte. As root, with the Debian mirror reachable
# (mmdebstrap, installed when missing, fetches the chroot).
set -eu
cd "$(dirname "$0")/.."
out=${1:-$(pwd)/build/clean}
[ "$(id -u)" -eq 0 ] || { echo "clean-build: needs root" >&2; exit 1; }
command -v mmdebstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap
root=$(mktemp -d /tmp/varek-clean.XXXXXX)
cleanup() {
  for d in sys dev proc; do umount -l "$root/$d" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 2' HUP INT TERM

echo "== a buildd chroot of bookworm (build-essential only)"
mmdebstrap --quiet --variant=buildd --mode=root bookworm "$root" http://deb.debian.org/debian
mkdir -p "$root/build/src"
git archive HEAD | tar -C "$root/build/src" -xf -
cp /etc/resolv.conf "$root/etc/resolv.conf"
for d in proc dev sys; do mount --bind "/$d" "$root/$d"; done

echo "== its Build-Depends, then dpkg-buildpackage -us -uc as a user"
chroot "$root" sh -eu -c '
  cd /build/src
  dpkg-checkbuilddeps 2>&1 | sed "s/^/  before: /" || true
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq . >/dev/null 2>&1
  dpkg-checkbuilddeps && echo "  after: dpkg-checkbuilddeps satisfied"
  useradd --create-home builder
  chown -R builder /build
  su builder -c "dpkg-buildpackage -us -uc" >/build/build.log 2>&1 || { tail -n 40 /build/build.log; exit 1; }
'
mkdir -p "$out"
cp "$root"/build/varek-server-tools*_* "$out/"
(cd "$out" && ls varek-server-tools*) | sed 's/^/  /'
for deb in "$out"/*.deb; do
  other=build/package/${deb##*/}
  [ -f "$other" ] || continue
  if cmp -s "$deb" "$other"; then echo "  identical to $other"; else echo "  DIFFERS from $other"; exit 1; fi
done
