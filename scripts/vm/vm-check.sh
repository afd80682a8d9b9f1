#!/bin/sh
# make vm-check: the camera (usbcam-device) on a real USB host controller and
# USB core: Debian's kernel under QEMU, its xHCI controller, our cameras
# plugged in over usbredir. Each step boots the guest once.
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

echo "vm-check passed in $(( $(date +%s) - start )) s"
