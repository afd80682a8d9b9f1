#!/bin/sh
# Checks the driver package (build/windows/package/) under Wine with the
# platform's setup API, through inf-check.exe:
#
# 1. Broken copies of the INF, each with one deliberate fault (a syntax
#    error, a missing section, an unresolved string, a registry write outside
#    the package's keys, a destination outside the driver store, a too-open
#    device DACL, ...), and the INF without its image beside it, must each be
#    refused, for the reason expected.
# 2. The package's own INF must pass every rule; its files and service are
#    then installed into the Wine prefix, and the service's Type, Start,
#    ErrorControl and ImagePath are read back from the registry with
#    `reg query` and compared with what the package says: a kernel driver
#    (1), demand start (3), normal error control (1), running the image that
#    was copied to the directory DIRID 13 stands for (Wine resolves it to
#    C:\windows\system32\unknown; Windows to the package's directory in the
#    driver store).
#
# Prints one line per case and a verdict; exits 0 only if all hold.
# Usage: windows/package-check.sh   (after make windows)
# Needs Debian's wine64 package (scripts/install-deps.sh wine). The Wine
# prefix build/wine-prefix is created on the first run and reused.
set -eu

if [ -z "${TAVRINOSCOPE_PACKAGE_CHECK_TIMED:-}" ]; then
  TAVRINOSCOPE_PACKAGE_CHECK_TIMED=1 exec timeout -k 10 240 "$0" "$@"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
package=$root/build/windows/package
checker=$root/build/windows/bin/inf-check.exe
work=$root/build/package-check
service=tavrinoscope

fail() {
  echo "package-check: $*" >&2
  exit 1
}

for f in tavrinoscope.inf tavrinoscope.sys usbcam.exe INSTALL.md; do
  [ -f "$package/$f" ] || fail "no $package/$f (run make windows first)"
done
[ -f "$checker" ] || fail "no $checker (run make windows first)"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  fail "wine64 not installed (scripts/install-deps.sh wine)"
fi

export WINEPREFIX="$root/build/wine-prefix" WINEARCH=win64 WINEDEBUG=-all
export DISPLAY='' WAYLAND_DISPLAY=''
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

cleanup() {
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'echo "package-check: timed out or interrupted" >&2; exit 1' TERM INT

wine_run() {
  timeout 60 "$wine" "$@"
}

# A Windows path for a file of this tree (Wine maps drive Z: to /).
winpath() {
  printf 'Z:%s' "$1" | tr / '\\'
}

# The stamp marks a prefix whose creation finished; a half-made one is redone.
if [ ! -f "$WINEPREFIX/.tavrinoscope-prefix-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine_run wineboot -i >/dev/null 2>&1 || fail "wineboot could not create $WINEPREFIX"
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tavrinoscope-prefix-ready"
fi
# One wineserver for the whole run instead of one per program.
"$wineserver" -p

rm -rf "$work"
mkdir -p "$work"
status=0

# 1. Each broken copy must be refused with the expected message. The copies
#    are made first and checked by one run of inf-check (Wine starts once).
#    broken NAME EXPECTED-MESSAGE SED-SCRIPT
cases=""
broken() {
  sed -e "$3" "$package/tavrinoscope.inf" >"$work/$1.inf"
  if cmp -s "$package/tavrinoscope.inf" "$work/$1.inf"; then
    echo "FAIL $1: the edit no longer changes the INF" >&2
    status=1
  fi
  printf '%s\n' "$2" >"$work/$1.expected"
  cases="$cases $1"
}

broken syntax-section-header 'syntax error on line' \
  's/^\[Strings\]$/[Strings/'
broken missing-ddinstall 'missing section [Tavrinoscope_Device.NTamd64]' \
  's/^\[Tavrinoscope_Device\.NTamd64\]$/[Unused]/'
broken missing-services-section 'missing section [Tavrinoscope_Device.NTamd64.Services]' \
  's/^\[Tavrinoscope_Device\.NTamd64\.Services\]$/[Unused]/'
broken missing-service-install 'AddService names [Tavrinoscope_Service], which is missing' \
  's/^\[Tavrinoscope_Service\]$/[Unused]/'
broken missing-source-disks 'missing section [SourceDisksNames]' \
  's/^\[SourceDisksNames\]$/[Unused]/'
broken missing-string 'unresolved string in "%ProviderName%"' \
  '/^ProviderName /d'
broken missing-security 'sets no device security descriptor' \
  '/^HKR,,Security,/d'
broken security-for-everyone 'device DACL grants access to S-1-1-0' \
  's/(A;;GRGW;;;IU)/(A;;GRGW;;;WD)/'
broken registry-outside-package 'writes below HKLM' \
  's/^HKR,,DeviceCharacteristics,/HKLM,Software\\Tavrinoscope,DeviceCharacteristics,/'
broken not-driver-store 'DefaultDestDir is DIRID 12' \
  's/^DefaultDestDir = 13$/DefaultDestDir = 12/'
broken co-installer 'has no place in a declarative package' \
  's/^\[Strings\]$/[Tavrinoscope_Device.NTamd64.CoInstallers]\nAddReg = Tavrinoscope_Device_HWAddReg\n\n[Strings]/'
broken auto-start 'StartType is "2", expected 3' \
  's/^StartType     = 3 /StartType     = 2 /'
broken no-pnp-lockdown '[Version] has no PnpLockdown' \
  '/^PnpLockdown/d'
broken image-outside-store 'is not the copied image' \
  's/^ServiceBinary = %13%/ServiceBinary = %12%/'
broken other-hardware-id 'has no model for USB\VID_1209&PID_0001' \
  's/USB\\VID_1209&PID_0001$/USB\\VID_1209\&PID_0002/'

refusals=0
set --
for name in $cases; do set -- "$@" "$(winpath "$work/$name.inf")"; done
rc=0
wine_run "$checker" "$@" >"$work/broken.out" 2>"$work/broken.err" || rc=$?
tr -d '\r' <"$work/broken.err" >"$work/broken.messages"
[ "$rc" = 1 ] || { cat "$work/broken.messages" >&2; fail "inf-check on the broken copies exited $rc, expected 1"; }
for name in $cases; do
  refusals=$((refusals + 1))
  expected=$(cat "$work/$name.expected")
  found=$(grep -F -- "$name.inf: " "$work/broken.messages" | grep -F -- "$expected" | head -n 1 || true)
  if [ -n "$found" ]; then
    printf 'ok   %s refused: %s\n' "$name" "${found#"$name.inf: "}"
  else
    printf 'FAIL %s: not refused for "%s"; inf-check said:\n' "$name" "$expected" >&2
    grep -F -- "$name.inf: " "$work/broken.messages" >&2 || echo "  nothing" >&2
    status=1
  fi
done

# An INF whose image is not beside it cannot be installed.
mkdir -p "$work/no-image"
cp "$package/tavrinoscope.inf" "$work/no-image/"
rc=0
wine_run "$checker" --install "$(winpath "$work/no-image/tavrinoscope.inf")" \
  >/dev/null 2>"$work/no-image.err" || rc=$?
if [ "$rc" = 1 ] && tr -d '\r' <"$work/no-image.err" | grep -q -F 'the package has no'; then
  refusals=$((refusals + 1))
  printf 'ok   no-image refused: %s\n' "$(tr -d '\r' <"$work/no-image.err" | head -n 1 | sed 's/^[^:]*: //')"
else
  printf 'FAIL no-image: inf-check --install exited %s without the image beside the INF\n' "$rc" >&2
  tr -d '\r' <"$work/no-image.err" >&2
  status=1
fi

# 2. The package itself: checked, installed, read back. A service left by an
#    earlier run must not stand in for this one.
key="HKLM\\System\\CurrentControlSet\\Services\\$service"
wine_run reg delete "$key" /f >/dev/null 2>&1 || true
rc=0
wine_run "$checker" --install "$(winpath "$package/tavrinoscope.inf")" \
  >"$work/install.out" 2>"$work/install.err" || rc=$?
if [ "$rc" != 0 ]; then
  tr -d '\r' <"$work/install.err" >&2
  fail "the package's INF was refused or could not be installed (exit $rc)"
fi
image=$(tr -d '\r' <"$work/install.out" | sed -n 's/^image-path=//p')
[ -n "$image" ] || fail "inf-check named no image path"

wine_run reg query "$key" >"$work/service.reg" 2>&1 || fail "no service $service in the registry"
value() {
  tr -d '\r' <"$work/service.reg" |
    sed -n "s/^[[:space:]]*$1[[:space:]]\{1,\}REG_[A-Z_]*[[:space:]]\{1,\}//p"
}
expect_value() {
  actual=$(value "$1")
  if [ "$actual" = "$2" ]; then
    printf 'ok   service %s = %s\n' "$1" "$actual"
  else
    printf 'FAIL service %s is "%s", expected "%s"\n' "$1" "$actual" "$2" >&2
    status=1
  fi
}
expect_value Type 0x1
expect_value Start 0x3
expect_value ErrorControl 0x1
expect_value ImagePath "$image"

# The image the service runs is the package's, byte for byte.
copied=$(wine_run winepath -u "$image" 2>/dev/null | tr -d '\r')
if [ -n "$copied" ] && cmp -s "$copied" "$package/tavrinoscope.sys"; then
  printf "ok   %s is the package's tavrinoscope.sys\n" "$image"
else
  printf "FAIL %s is not a copy of the package's tavrinoscope.sys\n" "$image" >&2
  status=1
fi

[ "$status" = 0 ] || fail "FAILED"
echo "package-check: the INF passes the setup API's parse and the package rules, $refusals broken packages are refused, and the service installs as a demand-start kernel driver"
