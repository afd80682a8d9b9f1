#!/bin/sh
# In the guest: waits until the USB core has enumerated and configured the
# device VID:PID (at most SECONDS) and prints its sysfs directory.
# Usage: scripts/vm/wait-device.sh VID:PID SECONDS
vid=${1%:*} pid=${1#*:}
tries=$(( ${2:-30} * 10 ))
while [ "$tries" -gt 0 ]; do
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    if [ "$(cat "$d/idVendor")" = "$vid" ] && [ "$(cat "$d/idProduct")" = "$pid" ] &&
       [ -n "$(cat "$d/bConfigurationValue" 2>/dev/null)" ]; then
      echo "$d"; exit 0
    fi
  done
  sleep 0.1
  tries=$((tries - 1))
done
exit 1
