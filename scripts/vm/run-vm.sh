#!/bin/sh
# Boots Debian's kernel under QEMU with this machine's root shared read-only,
# plugs usbcam-device cameras into the guest's xHCI controller over usbredir,
# runs one script of the tree in the guest and returns its exit status.
#
#   scripts/vm/run-vm.sh [-t SECONDS] [-d 'DEVICE ARGS']... SCRIPT [ARGS...]
#
# Each -d starts one build/bin/usbcam-device with those arguments (a
# --camera, --unplug-after-...) on a socket of its own and plugs it in, in
# order. The guest sees the run directory build/vm/run/ writable at the
# same path, as $VM_RUN; the devices' counters land there as device-N.json
# and their logs as device-N.log, the console as console.log. QEMU is killed
# after SECONDS (default 300). USBCAM_VM_ACCEL=kvm uses KVM where it works
# (the default is TCG: this machine's nested KVM cannot boot a stock kernel).
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
timeout=300
devices=""
n=0
while getopts "t:d:" o; do
  case "$o" in
    t) timeout=$OPTARG ;;
    d) n=$((n + 1)); eval "dev_$n=\$OPTARG" ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-t SECONDS] [-d 'DEVICE ARGS']... SCRIPT [ARGS...]" >&2; exit 2; }
script=$1
shift
case "$script" in /*) ;; *) script=$top/$script ;; esac

vm=$top/build/vm
run=$vm/run
kver=$("$top/scripts/vm/prepare.sh" "$vm")
rm -rf "$run"
mkdir -p "$run"
# The guest runs this (the kernel's command line cannot carry the arguments).
{
  printf 'exec /bin/sh %s' "'$script'"
  for a in "$@"; do printf " '%s'" "$a"; done
  printf '\n'
} > "$run/command.sh"
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

usbargs=""
i=1
while [ $i -le $n ]; do
  eval "args=\$dev_$i"
  sock=$run/device-$i.sock
  # shellcheck disable=SC2086
  "$top/build/bin/usbcam-device" --unix "$sock" --ready "$run/device-$i.ready" \
    --stats "$run/device-$i.json" $args 2> "$run/device-$i.log" &
  pids="$pids $!"
  k=0
  while [ ! -f "$run/device-$i.ready" ]; do
    k=$((k + 1)); [ $k -lt 100 ] || { echo "usbcam-device $i did not start" >&2; cat "$run/device-$i.log" >&2; exit 1; }
    sleep 0.05
  done
  usbargs="$usbargs -chardev socket,id=cam$i,path=$sock -device usb-redir,chardev=cam$i,bus=xhci.0"
  i=$((i + 1))
done

accel=${USBCAM_VM_ACCEL:-tcg}
# no_timer_check: under software emulation on a loaded host the guest's boot
# check of the IO-APIC timer can miss its ticks and panic the kernel
# ("IO-APIC + timer doesn't work"); the timer works, the check is what fails.
set +e
# shellcheck disable=SC2086
timeout -k 5 "$timeout" qemu-system-x86_64 -machine q35,accel="$accel" -cpu max -smp 1 -m 768 \
  -nographic -no-reboot -nodefaults -serial stdio \
  -kernel "$vm/vmlinux" -initrd "$vm/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check vm.script=$run/command.sh vm.run=$run vm.cwd=$top" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$run",mount_tag=run,security_model=none \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -device qemu-xhci,id=xhci $usbargs > "$run/console.log" 2>&1
rc=$?
set -e
cat "$run/console.log"
cleanup
pids=""
case $rc in
  124|137) echo "vm: QEMU killed after $timeout s" >&2; exit 124 ;;
esac
# isa-debug-exit: QEMU's status is 2 * status + 1.
if [ $((rc % 2)) -eq 1 ]; then exit $(((rc - 1) / 2)); fi
echo "vm: QEMU ended with $rc without the guest's status (kernel $kver)" >&2
exit 125
