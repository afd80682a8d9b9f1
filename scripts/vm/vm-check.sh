#!/bin/sh
# make vm-check: the camera (usbcam-device) on a real USB host controller and
# USB core, and our driver on that stack: Debian's kernel under QEMU, its
# xHCI controller, the cameras plugged in over usbredir. Each step boots the
# guest once (about 6 s under TCG) and prints one line per check.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
profiles=sim/usb/profiles
start=$(date +%s)

echo "== descriptors: the reference camera and two profiles as the guest's USB core enumerates them"
scripts/vm/run-vm.sh -t 120 -d "" -d "--camera $profiles/small-frame-camera.json" \
  -d "--camera $profiles/composite-test-camera.json" \
  scripts/vm/guest-descriptors.sh reference 1209:0001 $profiles/small-frame-camera.json 1209:0002 \
  $profiles/composite-test-camera.json 1209:7001

# The emulation's answers, made here on the host: the e2e batches (with the
# real stack's masks inserted before their requests) and frame 0.
work=build/vm-e2e
mkdir -p "$work"
awk 'FNR == NR { if ($0 !~ /^#/ && NF >= 3) { r = $1; $1 = ""; m[r] = substr($0, 2) } next }
     /^[ \t]*raw / { ++n; if (n in m) { if (m[n] ~ /^status=/) print "#e2e-bus-status " substr(m[n], 8); else print "#e2e-mask " m[n] } }
     { print }' scripts/vm/e2e-masks.txt tests/e2e/*.batch > "$work/all.batch"
build/bin/usbcam batch < "$work/all.batch" > "$work/all.host"
build/bin/usbcam read 2 307200 --large -o "$work/frame0.raw" > /dev/null

echo "== the driver on the real stack: the e2e requests, a frame, a 10 s stream"
scripts/vm/run-vm.sh -t 240 -d "" scripts/vm/guest-driver.sh requests
# What the camera received of the batch's ISO_WRITE (16 packets of its check
# pattern, sequence 0 to 15), by its own count: every packet, none bad, no gap.
received=$(grep -o '"iso_out_packets":[0-9]*,"iso_out_bad":[0-9]*,"iso_out_gaps":[0-9]*' build/vm/run/device-1.json || true)
if [ "$received" = '"iso_out_packets":16,"iso_out_bad":0,"iso_out_gaps":0' ]; then
  echo "ok   iso write: the camera received the 16 packets of ISO_WRITE, each intact and in order"
else
  echo "FAIL iso write: the camera counted ${received:-nothing} (build/vm/run/device-1.json)"; exit 1
fi
scripts/vm/run-vm.sh -t 120 -d "" scripts/vm/guest-driver.sh frame
scripts/vm/run-vm.sh -t 240 -d "" scripts/vm/guest-driver.sh stream
cp build/vm/run/stream-driver.json build/vm/run/stream-libusb.json build/vm/run/device-1.json "$work/" 2>/dev/null || true

echo "== the Debian package's udev rule: plugdev admitted, others refused"
scripts/vm/run-vm.sh -t 120 -d "" scripts/vm/guest-access.sh

echo "== unplugged mid-stream and mid-read"
# 3 s of the stream (8000 packets a second leave the camera), then gone.
scripts/vm/run-vm.sh -t 180 -d "--unplug-after-iso 24000" scripts/vm/guest-driver.sh unplug-stream
# 100 000 bytes into the 307 200-byte segmented read of pipe 2.
scripts/vm/run-vm.sh -t 180 -d "--unplug-after-bulk-in 100000" scripts/vm/guest-driver.sh unplug-read

echo "vm-check passed in $(( $(date +%s) - start )) s"
