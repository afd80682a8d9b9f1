#!/bin/sh
# In the guest (scripts/vm/run-vm.sh): the Debian package's udev rule
# (packaging/deb/60-tavrinoscope.rules) on the guest's real USB core, and
# who it lets open the camera. systemd-udevd applies the rule to the camera
# that usbcam-device plugged in; then
#  - the device node belongs to group plugdev, mode 0660, tagged uaccess (the
#    tag that gives the user at the seat an ACL where logind runs);
#  - `usbcam --usb info` as the user nobody in group plugdev works;
#  - the same as nobody without plugdev is refused with a message that says
#    why (exit status 1: no crash, no abort).
set -u
bin=build/bin
dir=$(scripts/vm/wait-device.sh 1209:0001 30) || { echo "FAIL no camera in the guest"; exit 1; }
node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$dir/busnum")" "$(cat "$dir/devnum")")
status=0

# udevd wants a writable /run; the rule goes where udev reads local rules.
# The guest runs the host's programs in a chroot, which udevadm would
# otherwise refuse to act in.
export SYSTEMD_IGNORE_CHROOT=1
mount -t tmpfs run /run || { echo "FAIL cannot mount /run"; exit 1; }
mkdir -p /run/udev/rules.d
cp packaging/deb/60-tavrinoscope.rules /run/udev/rules.d/
/lib/systemd/systemd-udevd --daemon >"$VM_RUN/udevd.log" 2>&1 || { echo "FAIL systemd-udevd did not start"; exit 1; }
udevadm trigger --action=add --subsystem-match=usb
udevadm settle --timeout=30

owner=$(stat -c '%G %a' "$node")
if [ "$owner" = "plugdev 660" ]; then
  echo "ok   access: the rule gives $node to group plugdev, mode 0660"
else
  echo "FAIL access: $node is \"$owner\", expected \"plugdev 660\""; status=1
fi
if udevadm info --query=property --name="$node" | grep -Eq '^(CURRENT_)?TAGS=.*:uaccess:'; then
  echo "ok   access: $node carries the uaccess tag"
else
  echo "FAIL access: $node has no uaccess tag"; udevadm info --query=property --name="$node"; status=1
fi

plugdev=$(getent group plugdev | cut -d: -f3)
# The user runs an installed program: a copy in the guest's own /run, since
# the checkout may lie in a folder only its owner can enter (a clone made in
# a mktemp -d folder is 0700), which has nothing to do with the rule.
mkdir -p /run/tavrinoscope-bin
cp "$bin/usbcam" /run/tavrinoscope-bin/usbcam
chmod 755 /run/tavrinoscope-bin /run/tavrinoscope-bin/usbcam
as_nobody() {  # as_nobody GROUPS-OPTION COMMAND...
  groups=$1
  shift
  (cd / && timeout 60 setpriv --reuid=65534 --regid=65534 "$groups" --inh-caps=-all \
    env -i PATH=/usr/bin:/bin HOME=/tmp "$@")
}
as_nobody "--groups=$plugdev" /run/tavrinoscope-bin/usbcam --usb info >"$VM_RUN/admitted.out" 2>&1
rc=$?
if [ $rc -eq 0 ] && grep -q '1209' "$VM_RUN/admitted.out"; then
  echo "ok   access: usbcam --usb info as nobody in plugdev: $(grep -m1 -i 'vendor\|1209' "$VM_RUN/admitted.out" | sed 's/^ *//')"
else
  echo "FAIL access: usbcam --usb info as nobody in plugdev exited $rc"; cat "$VM_RUN/admitted.out"; status=1
fi
as_nobody --clear-groups /run/tavrinoscope-bin/usbcam --usb info >"$VM_RUN/refused.out" 2>&1
rc=$?
if [ $rc -eq 1 ] && grep -q 'LIBUSB_ERROR_ACCESS' "$VM_RUN/refused.out" && [ "$(wc -l <"$VM_RUN/refused.out")" -le 3 ]; then
  echo "ok   access: refused without plugdev: $(head -n 1 "$VM_RUN/refused.out")"
else
  echo "FAIL access: usbcam --usb info as nobody without plugdev exited $rc, expected a refusal (1):"
  cat "$VM_RUN/refused.out"; status=1
fi
udevadm control --exit 2>/dev/null || true
exit $status
