#!/bin/sh
# Installs build/deb/tavrinoscope_<version>_amd64.deb on this machine as a
# user would (apt-get install ./FILE), uses it, removes it, and checks:
#  - its dependencies all resolve from Debian's archive alone, as on a fresh
#    machine (apt's simulation with an empty list of installed packages);
#  - usbcam and usbcam-device answer --version with VERSION, and run for a
#    user other than root; their man pages are there;
#  - python3 imports tavrinoscope from the system's Python (not this tree)
#    with __version__ == VERSION and captures a frame;
#  - examples/c/capture.c compiles against the installed header with
#    pkg-config and captures a frame;
#  - the udev rule admits the seat's user and plugdev for 1209:0001;
#  - dpkg --purge leaves none of its files, byte code or library cache entry.
# Prints ok/FAIL lines and "N passed, N failed"; exits 0 only if all hold.
# Needs root (it installs a package). Usage: packaging/deb/check.sh (make deb-check)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(cat "$root/VERSION")
deb=$root/build/deb/tavrinoscope_${version}_amd64.deb
work=$root/build/deb/check
[ -f "$deb" ] || { echo "deb-check: no $deb (make deb)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "deb-check: must run as root (it installs the package)" >&2; exit 1; }

passed=0
failed=0
ok() { printf "ok   %s\n" "$*"; passed=$((passed + 1)); }
bad() { printf "FAIL %s\n" "$*"; failed=$((failed + 1)); }
check() {  # check DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@" >"$work/last.out" 2>&1; then ok "$what"; else bad "$what"; sed 's/^/     /' "$work/last.out"; fi
}

rm -rf "$work"
mkdir -p "$work"
export DEBIAN_FRONTEND=noninteractive
lock="-o DPkg::Lock::Timeout=600"

# A package left by an interrupted run would hide what this one installs.
dpkg --purge tavrinoscope >/dev/null 2>&1 || true

# The fields.
field() { dpkg-deb -f "$deb" "$1"; }
check "Version is $version" test "$(field Version)" = "$version"
check "Architecture is amd64" test "$(field Architecture)" = amd64
# The package's files and links (not the directories it shares), and its own
# directories.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' >"$work/paths"
printf '%s\n' /usr/include/tavrinoscope /usr/share/doc/tavrinoscope >>"$work/paths"

# A fresh machine: nothing installed, every dependency from the archive.
: >"$work/empty-status"
# shellcheck disable=SC2086
if apt-get $lock -s -o Dir::State::status="$work/empty-status" install "$deb" >"$work/fresh.out" 2>&1 &&
   grep -q '^Inst tavrinoscope ' "$work/fresh.out"; then
  ok "on a machine with nothing installed, apt resolves every dependency from Debian ($(grep -c '^Inst ' "$work/fresh.out") packages)"
else
  bad "apt cannot resolve the package's dependencies on a fresh machine"
  tail -n 15 "$work/fresh.out" | sed 's/^/     /'
fi

# shellcheck disable=SC2086
check "apt-get install ./$(basename "$deb")" apt-get $lock install -y -q --no-install-recommends "$deb"

# Everything below runs outside this tree, with nothing pointing into it.
cd /
clean_env() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
check "usbcam --version says usbcam $version" sh -c "test \"\$(usbcam --version)\" = 'usbcam $version'"
check "usbcam-device --version says usbcam-device $version" \
  sh -c "test \"\$(usbcam-device --version)\" = 'usbcam-device $version'"
check "usbcam runs for the user nobody (info on the emulated camera)" \
  runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME=/nonexistent usbcam info
check "man pages for usbcam and usbcam-device" \
  sh -c 'zcat /usr/share/man/man1/usbcam.1.gz | grep -q "^\.TH USBCAM" && zcat /usr/share/man/man1/usbcam-device.1.gz | grep -q "^\.TH USBCAM-DEVICE"'
check "python3 imports tavrinoscope $version from the system and captures a frame" clean_env python3 -c "
import tavrinoscope, sys
assert tavrinoscope.__file__.startswith('/usr/lib/python3/dist-packages/'), tavrinoscope.__file__
assert tavrinoscope.__version__ == '$version', tavrinoscope.__version__
assert tavrinoscope.library_version() == '$version', tavrinoscope.library_version()
with tavrinoscope.Camera(0) as cam:
    frame = cam.frame()
assert frame.shape == (480, 640), frame.shape
"
check "pkg-config knows tavrinoscope $version" sh -c "test \"\$(pkg-config --modversion tavrinoscope)\" = '$version'"
check "examples/c/capture.c builds against the installed header and library" \
  sh -c "cc -std=c99 -Wall -Werror /usr/share/doc/tavrinoscope/examples/c/capture.c \$(pkg-config --cflags --libs tavrinoscope) -o '$work/capture'"
check "the example captures a frame" sh -c "cd '$work' && env -i PATH=/usr/bin:/bin ./capture 0 frame.pgm && head -c 2 frame.pgm | grep -q P5"
rule=$(dpkg -L tavrinoscope | grep '/rules.d/.*\.rules$' || true)
check "the udev rule admits the seat's user and plugdev to 1209:0001" sh -c "
  test -n '$rule' && grep -v '^#' '$rule' | grep 'ATTR{idVendor}==\"1209\"' | grep 'ATTR{idProduct}==\"0001\"' |
  grep 'TAG+=\"uaccess\"' | grep -q 'GROUP=\"plugdev\"'"
check "the library is in the linker's cache" sh -c 'ldconfig -p | grep -q "libtavrinoscope.so.1 "'

# Removal leaves nothing behind: no file of the package, no byte code.
clean_env python3 -c 'import tavrinoscope' >/dev/null 2>&1 || true  # writes byte code as root
check "dpkg --purge tavrinoscope" dpkg --purge tavrinoscope
left=""
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
done <"$work/paths"
check "no file of the package is left${left:+:$left}" test -z "$left"
check "no byte code is left" test ! -e /usr/lib/python3/dist-packages/tavrinoscope
check "the library left the linker's cache" sh -c '! ldconfig -p | grep -q libtavrinoscope'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
