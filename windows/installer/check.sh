#!/bin/sh
# The Windows installer under Wine, as a user's silent install would run it:
#  1. setup.exe /S /ADDTOPATH puts every file under Program Files\Tavrinoscope,
#     registers the uninstaller in Add/Remove Programs (DisplayVersion is
#     VERSION), adds bin\ to the user's PATH, stages the driver package as
#     oemNN.inf and registers the service as make package-check checks it
#     (kernel driver, demand start, normal error control, running a copy of
#     the package's image); the installed usbcam.exe --version says VERSION,
#     and the driver, DLL and usbcam.exe carry VERSION in their resources;
#  2. uninstall.exe /S takes all of it away again.
# Prints ok/FAIL lines and "N passed, N failed"; exits 0 only if all hold.
# Bounded: each Wine program gets a time-out, the whole run 300 s; the Wine
# server is stopped at the end. The prefix build/installer-prefix is made once.
# Usage: windows/installer/check.sh   (make installer-check)
set -eu
if [ -z "${TAVRINOSCOPE_INSTALLER_CHECK_TIMED:-}" ]; then
  TAVRINOSCOPE_INSTALLER_CHECK_TIMED=1 exec timeout -k 10 300 "$0" "$@"
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(cat "$root/VERSION")
setup=$root/build/installer/tavrinoscope-setup-$version.exe
package=$root/build/windows/package
work=$root/build/installer/check
[ -f "$setup" ] || { echo "installer-check: no $setup (make windows-installer)" >&2; exit 1; }

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] && [ -x "$wineserver" ] || { echo "installer-check: wine64 not installed" >&2; exit 1; }
export WINEPREFIX="$root/build/installer-prefix" WINEARCH=win64 WINEDEBUG=-all
export DISPLAY='' WAYLAND_DISPLAY=''
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() { timeout 20 "$wineserver" -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
trap 'echo "installer-check: timed out or interrupted" >&2; exit 1' TERM INT
wine_run() { timeout 120 "$wine" "$@"; }

if [ ! -f "$WINEPREFIX/.tavrinoscope-prefix-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine_run wineboot -i >/dev/null 2>&1 || { echo "installer-check: wineboot failed" >&2; exit 1; }
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tavrinoscope-prefix-ready"
fi
"$wineserver" -p

rm -rf "$work"
mkdir -p "$work"
passed=0
failed=0
ok() { printf "ok   %s\n" "$*"; passed=$((passed + 1)); }
bad() { printf "FAIL %s\n" "$*"; failed=$((failed + 1)); }
expect() {  # expect DESCRIPTION ACTUAL WANTED
  if [ "$2" = "$3" ]; then ok "$1"; else bad "$1: \"$2\", expected \"$3\""; fi
}

drive=$WINEPREFIX/drive_c
dir="$drive/Program Files/Tavrinoscope"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrinoscope'
service_key='HKLM\System\CurrentControlSet\Services\tavrinoscope'
# reg_value KEY NAME: the value's data, or nothing.
reg_value() {
  wine_run reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^[[:space:]]*$2[[:space:]]\{1,\}REG_[A-Z_]*[[:space:]]\{1,\}//p"
}
reg_has_key() { wine_run reg query "$1" >/dev/null 2>&1; }
resource_version() {  # the FileVersion string of a PE image's version resource
  strings -el "$1" | grep -x -A1 FileVersion | tail -n 1
}
store_infs() { for f in "$drive"/windows/inf/*.inf; do [ -f "$f" ] && basename "$f"; done; }

# A service or an installation left by an earlier run must not stand in.
wine_run reg delete "$service_key" /f >/dev/null 2>&1 || true
wine_run reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
rm -rf "$dir"
for inf in $(store_infs); do
  cmp -s "$drive/windows/inf/$inf" "$package/tavrinoscope.inf" && rm -f "$drive/windows/inf/$inf" "$drive/windows/inf/${inf%.inf}.pnf"
done
# The user's PATH has entries of its own, which must stay as they are.
wine_run reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d 'C:\Before\One;C:\Before\Two' /f >/dev/null 2>&1
path_before=$(reg_value 'HKCU\Environment' Path)

# 1. Silent install.
rc=0
wine_run "$(printf 'Z:%s' "$setup" | tr / '\\')" /S /ADDTOPATH >"$work/install.out" 2>&1 || rc=$?
expect "setup.exe /S /ADDTOPATH exits 0" "$rc" 0

missing=""
for f in driver/tavrinoscope.inf driver/tavrinoscope.sys driver/tavrinoscope.cat driver/INSTALL.md bin/usbcam.exe bin/tavrinoscope.dll \
         sdk/include/tavrinoscope/tavrinoscope.h sdk/lib/libtavrinoscope.dll.a python/tavrinoscope/__init__.py \
         python/tavrinoscope/tavrinoscope.dll examples/c/capture.c examples/python/capture.py \
         examples/python/stream.py docs/README.md docs/sdk.md uninstall.exe; do
  [ -f "$dir/$f" ] || missing="$missing $f"
done
expect "every file under Program Files\\Tavrinoscope${missing:+ (missing:$missing)}" "$missing" ""
if cmp -s "$dir/driver/tavrinoscope.sys" "$package/tavrinoscope.sys" &&
   cmp -s "$dir/driver/tavrinoscope.inf" "$package/tavrinoscope.inf"; then
  ok "the driver package's INF and image are the build's"
else
  bad "the installed driver package differs from build/windows/package"
fi

expect "Add/Remove Programs: DisplayVersion" "$(reg_value "$uninstall_key" DisplayVersion)" "$version"
expect "Add/Remove Programs: DisplayName" "$(reg_value "$uninstall_key" DisplayName)" "Tavrinoscope camera driver and tools"
expect "Add/Remove Programs: UninstallString" "$(reg_value "$uninstall_key" UninstallString)" \
  '"C:\Program Files\Tavrinoscope\uninstall.exe"'
expect "Add/Remove Programs: QuietUninstallString" "$(reg_value "$uninstall_key" QuietUninstallString)" \
  '"C:\Program Files\Tavrinoscope\uninstall.exe" /S'
case ";$(reg_value 'HKCU\Environment' Path);" in
  *';C:\Program Files\Tavrinoscope\bin;'*) ok "the user's PATH has C:\\Program Files\\Tavrinoscope\\bin" ;;
  *) bad "the user's PATH lacks C:\\Program Files\\Tavrinoscope\\bin: $(reg_value 'HKCU\Environment' Path)" ;;
esac

staged=$(reg_value "$uninstall_key" DriverStoreInf)
if [ -n "$staged" ] && cmp -s "$drive/windows/inf/$staged" "$package/tavrinoscope.inf"; then
  ok "the driver package is staged as $staged"
else
  bad "the driver package is not staged (DriverStoreInf \"$staged\")"
  [ -f "$dir/driver/install.log" ] && tr -d '\r' <"$dir/driver/install.log" | sed 's/^/     install.log: /'
fi
expect "service Type (kernel driver)" "$(reg_value "$service_key" Type)" 0x1
expect "service Start (demand)" "$(reg_value "$service_key" Start)" 0x3
expect "service ErrorControl (normal)" "$(reg_value "$service_key" ErrorControl)" 0x1
image=$(reg_value "$service_key" ImagePath)
image_unix=$(wine_run winepath -u "$image" 2>/dev/null | tr -d '\r' || true)
if [ -n "$image" ] && [ -n "$image_unix" ] && cmp -s "$image_unix" "$package/tavrinoscope.sys"; then
  ok "the service runs $image, a copy of the package's image"
else
  bad "the service's ImagePath \"$image\" is not a copy of the package's image"
fi

out=$(cd "$work" && wine_run 'C:\Program Files\Tavrinoscope\bin\usbcam.exe' --version 2>&1 | tr -d '\r' || true)
expect "the installed usbcam.exe --version" "$out" "usbcam $version"
for f in driver/tavrinoscope.sys bin/tavrinoscope.dll bin/usbcam.exe; do
  expect "$f's version resource" "$(resource_version "$dir/$f")" "$version.0"
done

# 2. Silent uninstall. The uninstaller runs a copy of itself from the
#    temporary folder and returns at once: wait (60 s at most) for the copy to
#    delete the original, its last file.
rc=0
wine_run 'C:\Program Files\Tavrinoscope\uninstall.exe' /S >"$work/uninstall.out" 2>&1 || rc=$?
waited=0
while [ -e "$dir/uninstall.exe" ] && [ "$waited" -lt 120 ]; do
  sleep 0.5
  waited=$((waited + 1))
done
sleep 1
expect "uninstall.exe /S exits 0" "$rc" 0
if [ -e "$dir" ]; then bad "Program Files\\Tavrinoscope is left: $(cd "$dir" && find . | head -n 5 | tr '\n' ' ')"
else ok "Program Files\\Tavrinoscope is gone"; fi
if reg_has_key "$uninstall_key"; then bad "the Add/Remove Programs entry is left"; else ok "the Add/Remove Programs entry is gone"; fi
if reg_has_key "$service_key"; then bad "the service is left"; else ok "the service is gone"; fi
if [ -n "$image_unix" ] && [ -e "$image_unix" ]; then bad "the service's image $image is left"; else ok "the service's image is gone"; fi
if [ -n "$staged" ] && [ -e "$drive/windows/inf/$staged" ]; then bad "$staged is left in the driver store"
else ok "the staged package is gone"; fi
expect "the user's PATH is as before" "$(reg_value 'HKCU\Environment' Path)" "$path_before"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
