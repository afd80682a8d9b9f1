#!/bin/sh
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/install-deps.sh host|windows|wine|mutants|vm|coverage|docs|format|deb|installer
set -eu

# (graphviz: the docs.diagrams test renders docs/diagrams/*.dot to compare.)
host_packages="g++ cmake ninja-build make libgtest-dev libgmock-dev libbenchmark-dev
nlohmann-json3-dev libcli11-dev libpng-dev tshark clang libclang-rt-14-dev
libboost-dev libfmt-dev libcpp-httplib-dev pkg-config chromium python3 binutils
python3-numpy python3-setuptools python3-venv python3-pytest python3-pip python3-wheel
libusbredirparser-dev libusb-1.0-0-dev graphviz"
windows_packages="cmake ninja-build make mingw-w64 binutils-mingw-w64-x86-64
libcli11-dev libfmt-dev nlohmann-json3-dev"
# Wine's kernel emulation, which loads the Windows driver image (make wine-check);
# a virtual X server, an image library for the screenshots of usbcam.exe's
# live view window, and the tools that find the window and press its keys
# (make wine-e2e).
wine_packages="wine64 xvfb python3-pil x11-utils xdotool"
# The mutation run (make mutants): its script, and the compiler cache that keeps
# its rebuilds short.
mutants_packages="python3 ccache"
# The camera as a real USB device in a QEMU guest (make vm-check), and the
# driver on a real USB stack through libusb (usbcam --usb); udev applies the
# Debian package's rule in the guest (scripts/vm/guest-access.sh).
vm_packages="qemu-system-x86 linux-image-amd64 busybox-static usbutils
libusbredirparser-dev libusb-1.0-0-dev pkg-config cpio xz-utils udev"
# The driver's coverage from the fuzz corpora (make fuzz-coverage): llvm-cov
# and llvm-profdata.
coverage_packages="clang llvm"
# The pictures of docs/diagrams/*.dot rendered to SVG (make docs, and the
# check that the committed SVGs are current).
docs_packages="graphviz"
# The source formatter (make format-check, scripts/format.sh).
format_packages="clang-format"

# The Debian package (make deb): its builder, the man pages from the tools'
# --help, the package checker, the library dependencies it computes.
deb_packages="dpkg-dev fakeroot help2man lintian debootstrap"
# The Windows installer (make windows-installer) and its test under Wine.
installer_packages="nsis wine64"

case "${1:-host}" in
  host) wanted=$host_packages ;;
  windows) wanted=$windows_packages ;;
  wine) wanted=$wine_packages ;;
  mutants) wanted=$mutants_packages ;;
  vm) wanted=$vm_packages ;;
  coverage) wanted=$coverage_packages ;;
  docs) wanted=$docs_packages ;;
  format) wanted=$format_packages ;;
  deb) wanted=$deb_packages ;;
  installer) wanted=$installer_packages ;;
  *) echo "usage: $0 host|windows|wine|mutants|vm|coverage|docs|format|deb|installer" >&2; exit 2 ;;
esac

missing=""
for pkg in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing missing packages:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "run as root, or install:$missing" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
# Another install may hold the package lock (two make targets at once): wait
# for it rather than fail.
lock="-o DPkg::Lock::Timeout=900"
# shellcheck disable=SC2086
$sudo apt-get $lock update -qq
# shellcheck disable=SC2086
$sudo apt-get $lock install -y -qq --no-install-recommends $missing >/dev/null
