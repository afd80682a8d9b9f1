#!/bin/sh
# The .deb on a fresh Debian machine: a minimal root made with debootstrap
# from this machine's Debian mirror (build/deb/root, made anew each run,
# about 3 minutes), where
#  - apt-get install ./tavrinoscope_<version>_amd64.deb pulls everything it
#    needs from Debian's archive alone;
#  - usbcam --version says VERSION, usbcam info and the Python package work
#    (a frame captured), for root and for the user nobody;
#  - after dpkg --purge the root holds exactly the files it held before the
#    package came (its dependencies stay, as apt leaves them).
# Prints ok/FAIL lines and "N passed, N failed". Needs root and the mirror.
# Usage: packaging/deb/root-check.sh   (make deb-root-check, after make deb)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(cat "$root/VERSION")
deb=$root/build/deb/tavrinoscope_${version}_amd64.deb
target=$root/build/deb/root
[ -f "$deb" ] || { echo "deb-root-check: no $deb (make deb)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "deb-root-check: must run as root" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "deb-root-check: no debootstrap (scripts/install-deps.sh deb)" >&2; exit 1; }

# This machine's release and the mirror its apt uses.
. /etc/os-release
suite=${VERSION_CODENAME:-bookworm}
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
  sed -n -e 's/^URIs: *\([^ ]*debian\)\/\{0,1\}$/\1/p' -e 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*debian\)\/\{0,1\} .*/\2/p' |
  head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

passed=0
failed=0
ok() { printf 'ok   %s\n' "$*"; passed=$((passed + 1)); }
bad() { printf 'FAIL %s\n' "$*"; failed=$((failed + 1)); }
in_root() { chroot "$target" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
check() {  # check DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@" >"$target.last" 2>&1; then ok "$what"; else bad "$what"; sed 's/^/     /' "$target.last" | tail -n 20; fi
}
cleanup() {
  umount "$target/proc" 2>/dev/null || true
}
trap cleanup EXIT

# Mounts from an interrupted run go first, then the old root.
umount "$target/proc" 2>/dev/null || true
rm -rf "$target"
start=$(date +%s)
if ! timeout 900 debootstrap --variant=minbase "$suite" "$target" "$mirror" >"$target.debootstrap.log" 2>&1; then
  tail -n 20 "$target.debootstrap.log" >&2
  echo "deb-root-check: debootstrap $suite from $mirror failed" >&2
  exit 1
fi
ok "a minimal $suite root from $mirror in $(( $(date +%s) - start )) s"
cp /etc/resolv.conf "$target/etc/resolv.conf" 2>/dev/null || true
mount -t proc proc "$target/proc"
cp "$deb" "$target/tmp/"
file=/tmp/$(basename "$deb")

# The package's dependencies first, from the archive, so that the root's
# files can be listed with them in place and without the package.
start=$(date +%s)
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/ //g' | grep -v '^$' | tr '\n' ' ')
check "its dependencies from Debian's archive alone: $depends" \
  in_root sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $depends"
snapshot() {
  (cd "$target" && find . -xdev \( -path ./proc -o -path ./var/lib/dpkg -o -path ./var/cache -o -path ./var/log \
    -o -path ./tmp -o -path ./var/lib/apt \) -prune -o -print | LC_ALL=C sort)
}
snapshot >"$target.before"
check "apt-get install ./$(basename "$deb")" in_root apt-get install -y -qq --no-install-recommends "$file"
echo "     ($(( $(date +%s) - start )) s; $(in_root dpkg-query -W -f='${Package}\n' | wc -l) packages in the root)"
check "usbcam --version says usbcam $version" in_root sh -c "test \"\$(usbcam --version)\" = 'usbcam $version'"
check "usbcam info (the emulated camera)" in_root usbcam info
check "python3: tavrinoscope $version, a frame" in_root python3 -c "
import tavrinoscope
assert tavrinoscope.__version__ == '$version'
with tavrinoscope.Camera(0) as cam:
    assert cam.frame().shape == (480, 640)
"
check "the same as the user nobody" in_root setpriv --reuid=65534 --regid=65534 --clear-groups \
  python3 -c "import tavrinoscope; tavrinoscope.Camera(0).frame()"

# Nothing left behind: the root's files as before the package came.
in_root python3 -c 'import tavrinoscope' >/dev/null 2>&1 || true  # byte code, as a user's first run writes it
check "dpkg --purge tavrinoscope" in_root dpkg --purge tavrinoscope
snapshot >"$target.after"
if cmp -s "$target.before" "$target.after"; then
  ok "the purged root holds exactly the files it held before ($(wc -l <"$target.after") paths)"
else
  bad "the purge left or took files:"
  diff "$target.before" "$target.after" | head -n 20 | sed 's/^/     /'
fi

cleanup
rm -rf "$target"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
