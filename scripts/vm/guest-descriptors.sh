#!/bin/sh
# In the guest (scripts/vm/run-vm.sh): each camera plugged over usbredir must
# show exactly its profile's descriptors to the guest's USB core: the bytes
# sysfs keeps (device descriptor and whole configuration), the strings, the
# speed, and `lsusb -v` decoded back into descriptor bytes by lsusb-profile.
# Arguments: PROFILE VID:PID ... ("reference" for the built-in camera).
set -u
bin=build/bin
fail=0
while [ $# -ge 2 ]; do
  profile=$1 id=$2
  shift 2
  vid=${id%:*} pid=${id#*:}
  camera=""
  [ "$profile" = reference ] || camera="--camera $profile"
  dir=$(scripts/vm/wait-device.sh "$vid:$pid" 30)
  if [ -z "$dir" ]; then
    echo "FAIL $profile: no device $id in the guest"; lsusb; fail=1; continue
  fi
  speed=high
  [ "$(cat "$dir/speed")" = 480 ] || speed=full
  lsusb -v -d "$id" > "$VM_RUN/lsusb-$vid-$pid.txt" 2> "$VM_RUN/lsusb-$vid-$pid.err"
  "$bin/lsusb-profile" --vendor "0x$vid" --product "0x$pid" --speed "$speed" \
    < "$VM_RUN/lsusb-$vid-$pid.txt" > "$VM_RUN/lsusb-$vid-$pid.json"
  # shellcheck disable=SC2086
  if "$bin/usbcam-device" $camera --check-sysfs "$dir" --check-lsusb-profile "$VM_RUN/lsusb-$vid-$pid.json"; then
    echo "ok   $profile ($id, $(cat "$dir/speed") Mb/s): sysfs descriptors, strings and lsusb -v match the profile"
  else
    echo "FAIL $profile ($id): the guest's view differs from the profile"; fail=1
  fi
done
exit $fail
