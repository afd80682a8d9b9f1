#!/bin/sh
# In the guest (scripts/vm/run-vm.sh): our driver, in the emulated kernel of
# build/bin/usbcam, on the guest's real xHCI controller and USB core through
# libusb (usbcam --usb), with usbcam-device's reference camera plugged in.
#   guest-driver.sh requests     the e2e batches, answers compared with the
#                                emulation's (build/vm-e2e/, made by vm-check.sh)
#   guest-driver.sh frame        a segmented read of one frame, compared byte
#                                for byte with the test pattern, then two
#                                short reads (8 of 64 bytes) of its events
#   guest-driver.sh stream       alternate setting 3 streamed for 10 s through
#                                the driver, then through libusb alone
#   guest-driver.sh unplug-stream | unplug-read
#                                the camera pulled out mid-stream or mid-read
#                                (usbcam-device --unplug-after-...): the request
#                                ends, removal completes, the verifier (pool,
#                                IRPs, device objects) is silent, nothing hangs
set -u
bin=build/bin
work=build/vm-e2e
mode=$1
scripts/vm/wait-device.sh 1209:0001 30 >/dev/null || { echo "FAIL no camera in the guest"; lsusb; exit 1; }
verifier_silent() { ! grep -q "verifier" "$1"; }

case "$mode" in
  requests)
    timeout 300 "$bin/usbcam" --usb batch < "$work/all.batch" > "$VM_RUN/all.usb" 2> "$VM_RUN/all.usb.err"
    rc=$?
    if [ $rc -eq 0 ] && "$work/../../windows/e2e-compare.sh" "$work/all.batch" "$work/all.host" "$VM_RUN/all.usb" 2> "$VM_RUN/compare.err"; then
      echo "ok   requests: $(grep -c '^raw ' "$work/all.batch") requests of tests/e2e answered on the real stack as in the emulation ($(grep -c '^#e2e-mask' "$work/all.batch") masked, $(grep -c '^#e2e-bus-status' "$work/all.batch") answered with this bus's own status; scripts/vm/e2e-masks.txt)"
    else
      echo "FAIL requests (usbcam $rc):"; sed 's/^  wine:/  usb: /' "$VM_RUN/compare.err"; cat "$VM_RUN/all.usb.err"; exit 1
    fi ;;
  frame)
    # Then two short reads: the frame's start and end events, 8 bytes each,
    # on the interrupt pipe asked for 64: the bytes moved, not the bytes asked.
    printf 'read 2 307200 --large -o %s\nread 3 64\nread 3 64\n' "$VM_RUN/frame.raw" > "$VM_RUN/frame.batch"
    timeout 120 "$bin/usbcam" --usb batch < "$VM_RUN/frame.batch" > "$VM_RUN/frame.out" 2>&1
    rc=$?
    if [ $rc -eq 0 ] && cmp -s "$VM_RUN/frame.raw" "$work/frame0.raw" &&
       [ "$(grep -c '^read 8 of 64 bytes from pipe 3 ' "$VM_RUN/frame.out")" -eq 2 ] &&
       grep -q '^00000000  01 00 00 00 00 00 00 00 ' "$VM_RUN/frame.out" &&
       grep -q '^00000000  02 00 00 00 00 00 00 00 ' "$VM_RUN/frame.out"; then
      echo "ok   frame: 307200 bytes over pipe 2 through the driver, the test pattern of frame 0 byte for byte; two short reads of 8 of 64 bytes on pipe 3"
    else
      echo "FAIL frame (usbcam $rc)"; cat "$VM_RUN/frame.out"; exit 1
    fi ;;
  stream)
    printf 'select 0 3\nstream 0 --packet-size 3072 --ring-packets 8192 --per-request 32 --slots 8 --seconds 10\n' > "$VM_RUN/stream.batch"
    timeout 120 "$bin/usbcam" --usb --json batch < "$VM_RUN/stream.batch" > "$VM_RUN/stream-driver.json" 2> "$VM_RUN/stream-driver.err"
    rc=$?
    timeout 60 "$bin/usbcam-hostcheck" stream --seconds 10 > "$VM_RUN/stream-libusb.json" 2>&1
    rc2=$?
    tail -n 1 "$VM_RUN/stream-driver.json"
    cat "$VM_RUN/stream-libusb.json"
    # The stream must run and carry data (at least 1 MB of the 245 MB the
    # camera sends) and every packet that arrives must be whole and in order;
    # losses are measured, not judged (QEMU's buffering, the machine's load).
    bytes=$(sed -n 's/.*"bytes":\([0-9]*\).*/\1/p' "$VM_RUN/stream-driver.json" | tail -n 1)
    if [ $rc -eq 0 ] && [ $rc2 -eq 0 ] && verifier_silent "$VM_RUN/stream-driver.err" && [ "${bytes:-0}" -ge 1000000 ] &&
       grep -q '"failed_packets":0' "$VM_RUN/stream-driver.json" && grep -q '"out_of_order_packets":0' "$VM_RUN/stream-driver.json"; then
      echo "ok   stream: alternate setting 3 for 10 s through the driver and through libusb (figures above)"
    else
      echo "FAIL stream (usbcam $rc, hostcheck $rc2)"; cat "$VM_RUN/stream-driver.err"; exit 1
    fi ;;
  unplug-stream)
    printf 'select 0 3\nstream 0 --packet-size 3072 --ring-packets 8192 --per-request 32 --slots 8 --seconds 30\n' > "$VM_RUN/stream.batch"
    start=$(date +%s)
    timeout 120 "$bin/usbcam" --usb --json batch < "$VM_RUN/stream.batch" > "$VM_RUN/unplug-stream.json" 2> "$VM_RUN/unplug-stream.err"
    rc=$?
    took=$(( $(date +%s) - start ))
    # 1: the stream's request failed as the camera went; 2 would be the verifier.
    if [ $rc -eq 1 ] && [ $took -lt 30 ] && verifier_silent "$VM_RUN/unplug-stream.err"; then
      echo "ok   unplug-stream: the stream ended $took s in with: $(tail -n 1 "$VM_RUN/unplug-stream.err"); removal completed, no pool left, no verifier report"
    else
      echo "FAIL unplug-stream (usbcam $rc after $took s)"; cat "$VM_RUN/unplug-stream.err"; exit 1
    fi ;;
  unplug-read)
    start=$(date +%s)
    timeout 120 "$bin/usbcam" --usb read 2 307200 --large -o "$VM_RUN/cut.raw" > "$VM_RUN/unplug-read.out" 2> "$VM_RUN/unplug-read.err"
    rc=$?
    took=$(( $(date +%s) - start ))
    if [ $rc -eq 1 ] && [ $took -lt 30 ] && verifier_silent "$VM_RUN/unplug-read.err"; then
      echo "ok   unplug-read: the segmented read ended $took s in with: $(tail -n 1 "$VM_RUN/unplug-read.err"); removal completed, no pool left, no verifier report"
    else
      echo "FAIL unplug-read (usbcam $rc after $took s)"; cat "$VM_RUN/unplug-read.err"; exit 1
    fi ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
