#!/bin/sh
# Loads the Windows driver image into Wine's kernel emulation and unloads it
# again: installs it in a fresh, private Wine prefix the way the driver
# package does (inf-check.exe runs the INF's file copy and service install
# with Wine's setup API: a demand-start kernel driver service whose image is
# the copy in the directory DIRID 13 stands for), starts the service with
# `net start` (winedevice.exe maps the image, resolves its imports against
# Wine's ntoskrnl.exe and usbd.sys and calls DriverEntry), then stops it with
# `net stop` (DriverUnload).
#
# Prints one verdict line; exits 0 only if the image was loaded, DriverEntry
# returned STATUS_SUCCESS, and the unload routine ran and returned. No device
# is present, so this exercises installation, loading, import binding,
# DriverEntry and DriverUnload only, not AddDevice or any request path.
#
# Usage: windows/wine-load-check.sh [IMAGE]   (default $TAVRINOSCOPE_WINDOWS_BIN/tavrinoscope.sys)
# TAVRINOSCOPE_WINDOWS_BIN names the images' directory: build/windows/bin (the
# release image, the default) or build/windows-debug/bin (the checked one).
# Needs Debian's wine64 package (scripts/install-deps.sh wine) and
# inf-check.exe in that directory (make windows). Runs headless and never
# longer than 180 s; the prefix lives under /tmp and is removed.
set -eu

# The whole check runs under a hard time limit so a wedged Wine cannot hang it.
if [ -z "${TAVRINOSCOPE_WINE_CHECK_TIMED:-}" ]; then
  TAVRINOSCOPE_WINE_CHECK_TIMED=1 exec timeout -k 10 180 "$0" "$@"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${TAVRINOSCOPE_WINDOWS_BIN:-$root/build/windows/bin}
image=${1:-$bin/tavrinoscope.sys}
name=$(basename "$image")
checker=$bin/inf-check.exe
inf=$root/windows/tavrinoscope.inf
service=tavrinoscope

fail() {
  echo "$name: $*" >&2
  exit 1
}

[ -f "$image" ] || fail "no such image (run make windows first)"
[ -f "$checker" ] || fail "no $checker (run make windows first)"

# Debian's wine64 package installs its loader outside PATH.
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  fail "wine64 not installed (scripts/install-deps.sh wine)"
fi

# The prefix and the wineserver's socket directory (under TMPDIR) both live
# in one private directory, removed at exit.
work=$(mktemp -d /tmp/tavrinoscope-wine.XXXXXX)
log=$(mktemp /tmp/tavrinoscope-wine-log.XXXXXX)
mkdir "$work/tmp"
export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp"
export WINEARCH=win64
# Headless, and no Mono/Gecko installers or desktop menu entries.
export DISPLAY='' WAYLAND_DISPLAY=''
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEDEBUG=-all

keep_log=1
cleanup() {
  trap '' TERM INT
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$work"
  [ "$keep_log" = 1 ] || rm -f "$log"
}
trap cleanup EXIT
trap 'keep_log=1; echo "$name: timed out or interrupted (Wine log kept in $log)" >&2; exit 1' TERM INT

wine_run() {
  timeout 60 "$wine" "$@"
}

# 1. A fresh prefix with the driver installed from its package: the INF and
#    the image side by side, installed by the setup API (Type 1 = kernel
#    driver, Start 3 = demand, ErrorControl 1 = normal, as the INF says).
wine_run wineboot -i >/dev/null 2>&1 || fail "wineboot could not create a Wine prefix"
[ -f "$WINEPREFIX/drive_c/windows/system32/drivers/usbd.sys" ] || fail "Wine prefix has no usbd.sys"
mkdir "$work/package"
cp "$inf" "$work/package/tavrinoscope.inf"
cp "$image" "$work/package/tavrinoscope.sys"
wine_run "$checker" --install "$(printf 'Z:%s' "$work/package/tavrinoscope.inf" | tr / '\\')" \
  >"$work/install.out" 2>"$work/install.err" || {
  tr -d '\r' <"$work/install.err" >&2
  fail "the driver package could not be installed"
}
# The relay channel reports DriverEntry's and DriverUnload's calls and
# returns; restrict its per-call thunks to nothing so the log stays small.
wine_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d none.none /f \
  >/dev/null 2>&1 || fail "could not set up the relay trace"

# The service manager reads its database at start: restart the prefix.
timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
timeout 20 "$wineserver" -w >/dev/null 2>&1 || true

# 2. Start and stop the service. Every Wine process, winedevice.exe included,
#    writes its trace to the one log.
export WINEDEBUG=fixme-all,warn+module,trace+loaddll,trace+relay
start_rc=0
wine_run net start "$service" >"$log.start" 2>>"$log" || start_rc=$?
stop_rc=0
if [ "$start_rc" = 0 ]; then
  wine_run net stop "$service" >"$log.stop" 2>>"$log" || stop_rc=$?
fi
cat "$log.start" "$log.stop" 2>/dev/null | tr -d '\r' >>"$log"
rm -f "$log.start" "$log.stop"

# 3. Read the verdict from the trace.
key_lines='tavrinoscope|driver (init|unload)|No implementation|unimplemented|exception|crash|service'
show() {
  echo "--- key lines of the Wine log ($log):" >&2
  grep -a -i -E "$key_lines" "$log" | grep -a -v -E 'Services\\\\(MountMgr|wine|nsiproxy|NDIS)' |
    tail -n 20 >&2 || true
}

# A checked image's broken contract: NT_ASSERT raised STATUS_ASSERTION_FAILURE.
if grep -a -i -q 'c0000420' "$log"; then
  show
  fail "the driver raised STATUS_ASSERTION_FAILURE (a broken contract in $(dirname "$image"))"
fi

grep -a -i -q -E 'Loaded L".*\\tavrinoscope\.sys" at [0-9A-F]+: native' "$log" || {
  show
  fail "not loaded by Wine's ntoskrnl"
}

# Windows refuses an image with an unresolved import; Wine binds it to a stub.
missing=$(grep -a -i -E 'No implementation for .* imported from .*tavrinoscope\.sys' "$log" |
  sed -n 's/.*No implementation for \([^ ]*\) imported.*/\1/p' | sort -u | tr '\n' ' ' | sed 's/ *$//')
[ -z "$missing" ] || { show; fail "loaded, but Wine cannot resolve its imports: $missing"; }

init=$(grep -a -E "Ret  driver init .*Services\\\\\\\\$service\"\\) retval=" "$log" | tail -n 1)
[ -n "$init" ] || { show; fail "loaded, but DriverEntry did not return (net start exit $start_rc)"; }
retval=$(echo "$init" | sed -n 's/.*retval=\([0-9a-fA-F]*\).*/\1/p')
[ "$retval" = 00000000 ] || { show; fail "loaded, DriverEntry returned 0x$retval"; }
[ "$start_rc" = 0 ] || { show; fail "DriverEntry returned STATUS_SUCCESS, but net start failed (exit $start_rc)"; }

# The driver object ties the unload trace to this driver.
obj=$(echo "$init" | sed -n 's/.*(obj=\([0-9A-Fa-f]*\),.*/\1/p')
[ "$stop_rc" = 0 ] || { show; fail "loaded, DriverEntry returned STATUS_SUCCESS, but net stop failed (exit $stop_rc)"; }
grep -a -q -E "Ret  driver unload [0-9A-Fa-f]+ \\(obj=$obj\\)" "$log" || {
  show
  fail "loaded, DriverEntry returned STATUS_SUCCESS, but its unload routine was not called (none set?)"
}

keep_log=0
echo "$name: loaded by Wine's ntoskrnl, DriverEntry returned STATUS_SUCCESS, unloaded"
