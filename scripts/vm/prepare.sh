#!/bin/sh
# Prepares the guest of make vm-check under build/vm/ (once; reused while the
# installed kernel and this directory's files stay the same):
#   vmlinux        Debian's kernel, decompressed once (QEMU boots the ELF image
#                  through its PVH entry, about twice as fast as the bzImage
#                  under TCG)
#   initramfs.cpio.gz  static busybox, the virtio, 9p and xHCI modules of the
#                  installed linux-image, and scripts/vm/init
# Usage: scripts/vm/prepare.sh [BUILD_DIR]   (prints the kernel version)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-build/vm}
mkdir -p "$out"

# The newest installed kernel of the linux-image-amd64 package.
kver=$(ls /lib/modules | sort -V | tail -n 1)
[ -n "$kver" ] && [ -f "/boot/vmlinuz-$kver" ] || { echo "no Debian kernel installed (scripts/install-deps.sh vm)" >&2; exit 1; }
stamp="$kver $(cat "$here/init" "$here/prepare.sh" | md5sum | cut -c1-32)"
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp" ] && [ -f "$out/vmlinux" ] && [ -f "$out/initramfs.cpio.gz" ]; then
  echo "$kver"; exit 0
fi

# The kernel: the payload of the bzImage is one xz stream; decompress it.
img=/boot/vmlinuz-$kver
off=$(grep -abo "$(printf '\3757zXZ')" "$img" | head -n 1 | cut -d: -f1)
[ -n "$off" ] || { echo "$img: no xz payload found" >&2; exit 1; }
tail -c +"$((off + 1))" "$img" | xz -dc --single-stream > "$out/vmlinux.tmp" 2>/dev/null || true
head -c 4 "$out/vmlinux.tmp" | grep -q ELF || { echo "$img: decompression gave no ELF image" >&2; exit 1; }
mv "$out/vmlinux.tmp" "$out/vmlinux"

# The initramfs.
root=$out/initramfs
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/host" "$root/out" "$root/tmp"
cp /bin/busybox "$root/bin/busybox"
for a in sh mount umount insmod mkdir cat echo sleep poweroff dd printf ls chroot mknod grep sync; do
  ln -s busybox "$root/bin/$a"
done
cp "$here/init" "$root/init"
chmod +x "$root/init"
# Modules in load order: each one's dependencies (modules.dep) first.
md=/lib/modules/$kver
order=""
add() {
  case " $order " in *" $1 "*) return ;; esac
  for dep in $(grep "^$1:" "$md/modules.dep" | cut -d: -f2); do add "$dep"; done
  order="$order $1"
}
for m in kernel/drivers/virtio/virtio_pci.ko kernel/net/9p/9pnet_virtio.ko kernel/fs/9p/9p.ko \
         kernel/drivers/usb/host/xhci-pci.ko; do
  add "$m"
done
: > "$root/lib/modules/order"
for m in $order; do
  name=$(basename "$m")
  case "$m" in
    *.ko) cp "$md/$m" "$root/lib/modules/$name" ;;
    *.ko.xz) xz -dc "$md/$m" > "$root/lib/modules/${name%.xz}"; name=${name%.xz} ;;
    *.ko.zst) zstd -qdc "$md/$m" > "$root/lib/modules/${name%.zst}"; name=${name%.zst} ;;
  esac
  echo "$name" >> "$root/lib/modules/order"
done
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$out/initramfs.cpio.gz"
echo "$stamp" > "$out/stamp"
echo "$kver"
