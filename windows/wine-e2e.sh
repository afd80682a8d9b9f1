#!/bin/sh
# Runs the Windows driver image end to end in Wine and compares it, request
# by request, with the host emulation.
#
# 1. A Wine prefix under build/wine-e2e/prefix (created once, kept).
# 2. The driver package is installed the way Plug and Play installs it: the
#    INF and the image in the prefix's INF directory, the service installed
#    from the INF by inf-check.exe.
# 3. tavrinoscope-testbus.sys (a bus driver for Wine only, which plugs the
#    reference camera from the host emulation's camera model) is installed
#    as a service and started: Wine's Plug and Play manager enumerates its
#    camera, matches the hardware ID against the INF, loads tavrinoscope.sys
#    and calls AddDevice with the test bus's PDO.
# 4. Every tests/e2e/*.batch (in one session) is run by usbcam.exe, a separate Windows
#    process, against \\.\Tavrinoscope-0, and by the host's usbcam against
#    the emulation; the answers (status, byte count, output bytes) must be
#    identical, request by request. A difference prints the request and both
#    answers and fails.
# 5. The SDK's C example (capture.exe) captures a frame through
#    tavrinoscope.dll, which must be the camera's test pattern.
# 6. usbcam.exe itself (windows/wine-usbcam.sh): list without the driver,
#    without a camera and with one; a PNG compared pixel for pixel with the
#    host's; the live view window on a virtual X server (Xvfb, started here
#    for the run: every Wine window goes there); the help and its examples.
#
# Usage: windows/wine-e2e.sh   (after make windows and make build)
# TAVRINOSCOPE_WINDOWS_BIN names the images' directory: build/windows/bin (the
# release images, the default) or build/windows-debug/bin (the checked ones,
# every NT_ASSERT live). In the checked image a broken contract raises
# STATUS_ASSERTION_FAILURE (0xc0000420) in winedevice.exe; any such exception
# in Wine's log fails the run, whatever the answers were.
set -eu

if [ -z "${TAVRINOSCOPE_E2E_TIMED:-}" ]; then
  TAVRINOSCOPE_E2E_TIMED=1 exec timeout -k 10 900 "$0" "$@"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${TAVRINOSCOPE_WINDOWS_BIN:-$root/build/windows/bin}
host_usbcam=$root/build/bin/usbcam
# Each image in a prefix and a Wine server of its own (the release image's
# build/wine-e2e, the checked one's build/wine-e2e-debug): a run right after
# another must not meet the previous run's server, whose windows went to an X
# server that is gone.
case "$bin" in
  */windows-debug/*) work=$root/build/wine-e2e-debug ;;
  *) work=$root/build/wine-e2e ;;
esac
batches=$root/tests/e2e

log_fresh=
fail() {
  # Whatever failed, an assertion exception in this run's Wine log is named.
  if [ -n "$log_fresh" ] && grep -a -q -i 'c0000420' "$log"; then
    echo "wine-e2e: the driver raised STATUS_ASSERTION_FAILURE (a broken contract):" >&2
    grep -a -i -E 'c0000420|Unhandled exception' "$log" | head -n 5 >&2
  fi
  echo "wine-e2e: $*" >&2
  exit 1
}

for f in tavrinoscope.sys tavrinoscope-testbus.sys usbcam.exe inf-check.exe tavrinoscope.dll capture.exe; do
  [ -f "$bin/$f" ] || fail "no $bin/$f (run make windows first)"
done
[ -x "$host_usbcam" ] || fail "no $host_usbcam (run make build first)"
echo "wine-e2e: the images of $bin"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] && [ -x "$wineserver" ] || fail "wine64 not installed (scripts/install-deps.sh wine)"

mkdir -p "$work/tmp"
export WINEPREFIX="$work/prefix" WINEARCH=win64 TMPDIR="$work/tmp"
# Wine's windows go to a virtual X server of the run's own (the live view's
# window is checked there), never to a desktop of the user's.
export WAYLAND_DISPLAY=''
. "$root/windows/wine-usbcam.sh"
xvfb_pid=
start_xvfb
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEDEBUG=-all
log=$work/wine.log

# Fails the run if Wine's log shows an assertion exception (0xc0000420) or
# any unhandled exception in winedevice.exe.
assert_failures() {
  if grep -a -q -i -E 'c0000420|Unhandled exception' "$log"; then
    grep -a -i -E 'c0000420|Unhandled exception' "$log" | head -n 5 >&2
    fail "$(basename "$(dirname "$bin")"): the driver raised an assertion failure or crashed winedevice.exe (Wine log: $log)"
  fi
}

cleanup() {
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
}
trap 'cleanup; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true' EXIT
trap 'echo "wine-e2e: timed out or interrupted (Wine log: $log)" >&2; exit 1' TERM INT

wine_run() {
  timeout 120 "$wine" "$@"
}
winpath() {
  printf 'Z:%s' "$1" | tr / '\\'
}

# 1. The prefix, made once; a half-made one is redone.
if [ ! -f "$WINEPREFIX/.tavrinoscope-prefix-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine_run wineboot -i >/dev/null 2>&1 || fail "wineboot could not create $WINEPREFIX"
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tavrinoscope-prefix-ready"
fi
cleanup

# 2. and 3. Each run installs the current images afresh: the device's
# instance key from an earlier run is dropped so Plug and Play installs the
# driver again from the current INF.
# Wine 8's setup API does not know the OS-version part of a models-section
# decoration (NTamd64.10.0...16299) and finds no models for the hardware ID,
# so the copy Plug and Play searches has the plain NTamd64 decoration; the
# package's own INF is what inf-check.exe installs the service from.
infdir=$WINEPREFIX/drive_c/windows/inf
rm -f "$infdir/tavrinoscope.inf" "$infdir/tavrinoscope.sys"
sed 's/NTamd64\.10\.0\.\.\.16299/NTamd64/g' "$root/windows/tavrinoscope.inf" >"$infdir/tavrinoscope.inf"
cp "$bin/tavrinoscope.sys" "$infdir/"
rm -rf "$work/package"
mkdir -p "$work/package"
cp "$root/windows/tavrinoscope.inf" "$bin/tavrinoscope.sys" "$work/package/"
# usbcam.exe list tells a driver not installed from a camera not plugged in.
wine_run sc delete tavrinoscope >/dev/null 2>&1 || true
expect_list "the Tavrinoscope driver is not installed"
wine_run "$bin/inf-check.exe" --install "$(winpath "$work/package/tavrinoscope.inf")" \
  >"$work/install.out" 2>&1 || { tr -d '\r' <"$work/install.out" >&2; fail "the driver package could not be installed"; }
expect_list "the driver is installed, but no camera is plugged in"
wine_run reg delete 'HKLM\System\CurrentControlSet\Enum\USB\VID_1209&PID_0001' /f >/dev/null 2>&1 || true
wine_run reg add 'HKLM\System\CurrentControlSet\Services\tavrinoscope-testbus' /v Type /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine_run reg add 'HKLM\System\CurrentControlSet\Services\tavrinoscope-testbus' /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1
wine_run reg add 'HKLM\System\CurrentControlSet\Services\tavrinoscope-testbus' /v ErrorControl /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine_run reg add 'HKLM\System\CurrentControlSet\Services\tavrinoscope-testbus' /v ImagePath /t REG_EXPAND_SZ \
  /d "$(winpath "$bin/tavrinoscope-testbus.sys")" /f >/dev/null 2>&1
cleanup

export WINEDEBUG=${TAVRINOSCOPE_E2E_WINEDEBUG:-err+all}
# The wineserver would end, and winedevice.exe with it, once only system
# processes are left: keep it until the run is over (cleanup kills it).
"$wineserver" -p
log_fresh=1
wine_run net start tavrinoscope-testbus >"$work/net-start.out" 2>"$log" || {
  tail -n 30 "$log" >&2
  fail "the test bus could not be started"
}

# Plug and Play installs and starts the camera's driver on its own thread
# after the bus's DriverEntry returns: wait until the camera opens (the probe
# is IOCTL_USBCAM_NOP, which changes nothing).
tries=0
until wine_run "$bin/usbcam.exe" raw NOP >"$work/probe.out" 2>&1; do
  tries=$((tries + 1))
  [ "$tries" -lt 60 ] || { assert_failures; grep -a -E 'err:|plugplay' "$log" | tail -n 20 >&2; fail "the camera never appeared as \\\\.\\Tavrinoscope-0"; }
  sleep 1
done
expect_list "1209:0001  Tavrinoscope  started"

# 4. The batches, in the order of their names, as one session on each side:
# the camera in Wine stays plugged from one batch to the next, so the host
# runs them one after the other in one emulation too.
cat "$batches"/*.batch >"$work/all.batch"
"$host_usbcam" batch <"$work/all.batch" >"$work/all.host" 2>"$work/all.host.err" ||
  { cat "$work/all.host.err" >&2; fail "the host run failed"; }
wine_run "$bin/usbcam.exe" batch <"$work/all.batch" 2>"$work/all.wine.err" | tr -d '\r' >"$work/all.wine" || true
status=0
"$root/windows/e2e-compare.sh" "$work/all.batch" "$work/all.host" "$work/all.wine" || status=1
# usbcam.exe's own complaints fail the run; Wine's debug lines go to the log.
tr -d '\r' <"$work/all.wine.err" | grep -a -E '^[0-9a-f]{4}:(err|fixme|warn|trace):' >>"$log" || true
if tr -d '\r' <"$work/all.wine.err" | grep -a -v -E '^[0-9a-f]{4}:(err|fixme|warn|trace):' >"$work/all.wine.complaints" &&
  [ -s "$work/all.wine.complaints" ]; then
  cat "$work/all.wine.complaints" >&2
  status=1
fi
for batch in "$batches"/*.batch; do
  echo "wine-e2e: $(basename "$batch"): $(grep -c '^raw ' "$batch") requests"
done
[ "$status" = 0 ] || { assert_failures; fail "answers differ (Wine log: $log)"; }

# 5. The SDK: the C example, linked against tavrinoscope.dll as a user
# builds it, captures a frame through the DLL; the frame must be the
# camera's test pattern.
rm -f "$work/sdk-frame.pgm"
wine_run "$bin/capture.exe" 0 "$(winpath "$work/sdk-frame.pgm")" >"$work/sdk.raw" 2>"$work/sdk.err" ||
  { cat "$work/sdk.raw" "$work/sdk.err" >&2; fail "the SDK example failed under Wine"; }
tr -d '\r' <"$work/sdk.raw" >"$work/sdk.out"
grep -q '^camera 0: 1209:0001 ' "$work/sdk.out" && grep -q ': 640 x 480 frame ' "$work/sdk.out" ||
  { cat "$work/sdk.out" >&2; fail "the SDK example did not describe the camera and its frame"; }
python3 "$root/windows/sdk-frame-check.py" "$work/sdk-frame.pgm" || fail "the SDK example's frame is not the test pattern"
printf "wine-e2e: the SDK's DLL captured a frame: %s\n" "$(tail -n 1 "$work/sdk.out")"
echo "wine-e2e: every request gave the same answer in Wine as in the host emulation"

# 6. usbcam.exe's own commands: a PNG, the live view window, the help.
started=$(date +%s)
check_png_capture
check_view
check_help
echo "wine-e2e: usbcam.exe's capture, view and help checked in $(($(date +%s) - started)) s"

# A checked image's broken contract: NT_ASSERT raised STATUS_ASSERTION_FAILURE
# in winedevice.exe (whatever became of the request that hit it).
assert_failures

