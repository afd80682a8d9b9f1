#!/bin/sh
# Builds build/deb/tavrinoscope_<version>_amd64.deb from the host tree's
# usbcam, usbcam-device and libtavrinoscope.so (built here if missing), the
# public header, the Python package and this folder's files, with Debian's
# own tools: help2man for the man pages, dpkg-shlibdeps for the libraries the
# programs need, dpkg-deb to pack, lintian to check (its exceptions are
# lintian-overrides beside this script, which say why).
# Usage: packaging/deb/build.sh   (make deb; scripts/install-deps.sh deb first)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/packaging/deb
version=$(cat "$root/VERSION")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
out=$root/build/deb
stage=$out/stage
deb=$out/tavrinoscope_${version}_amd64.deb

cmake --preset host >/dev/null
cmake --build --preset host --target usbcam usbcam-device tavrinoscope

rm -rf "$out"
mkdir -p "$stage/DEBIAN"
bin=$stage/usr/bin
lib=$stage/usr/lib/$multiarch
doc=$stage/usr/share/doc/tavrinoscope
man=$stage/usr/share/man/man1
py=$stage/usr/lib/python3/dist-packages/tavrinoscope
# bookworm's udev reads /lib/udev; later releases say where with udev.pc.
udevdir=$(pkg-config --variable=udevdir udev 2>/dev/null || echo /lib/udev)
rules=$stage$udevdir/rules.d
install -d "$bin" "$lib/pkgconfig" "$stage/usr/include/tavrinoscope" "$doc/examples/c" \
  "$doc/examples/python" "$man" "$py" "$rules"

# Programs and the library, without their debugging information.
install -m 755 "$root/build/bin/usbcam" "$root/build/bin/usbcam-device" "$bin/"
strip --remove-section=.comment --remove-section=.note "$bin/usbcam" "$bin/usbcam-device"
so=libtavrinoscope.so.$version
install -m 644 "$root/build/lib/$so" "$lib/"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$lib/$so"
soname=$(objdump -p "$lib/$so" | sed -n 's/^ *SONAME *//p')
ln -s "$so" "$lib/$soname"
ln -s "$soname" "$lib/libtavrinoscope.so"
install -m 644 "$root/include/tavrinoscope/tavrinoscope.h" "$stage/usr/include/tavrinoscope/"
sed -e "s/@VERSION@/$version/" -e "s/@MULTIARCH@/$multiarch/" "$here/tavrinoscope.pc.in" \
  >"$lib/pkgconfig/tavrinoscope.pc"
chmod 644 "$lib/pkgconfig/tavrinoscope.pc"

# The Python package (pure Python; it finds the library through ldconfig).
install -m 644 "$root"/python/tavrinoscope/*.py "$root/python/tavrinoscope/py.typed" "$py/"

install -m 644 "$here/60-tavrinoscope.rules" "$rules/"
install -d "$stage/usr/share/metainfo"
install -m 644 "$here/tavrinoscope.metainfo.xml" "$stage/usr/share/metainfo/org.tavrinoscope.tavrinoscope.metainfo.xml"

# Man pages from the programs' own --help and --version.
help2man --no-info --version-string="$version" --source=Tavrinoscope --section=1 \
  --name="drive a Tavrinoscope camera through its driver" "$bin/usbcam" | gzip -9n >"$man/usbcam.1.gz"
help2man --no-info --version-string="$version" --source=Tavrinoscope --section=1 \
  --name="the Tavrinoscope camera as a USB device over usbredir" "$bin/usbcam-device" \
  | gzip -9n >"$man/usbcam-device.1.gz"

install -m 644 "$here/copyright" "$doc/"
install -m 644 "$root/examples/c/capture.c" "$doc/examples/c/"
install -m 644 "$root"/examples/python/*.py "$doc/examples/python/"
install -d "$stage/usr/share/lintian/overrides"
install -m 644 "$here/lintian-overrides" "$stage/usr/share/lintian/overrides/tavrinoscope"
# A native package's changelog: this release.
{
  printf 'tavrinoscope (%s) unstable; urgency=medium\n\n' "$version"
  printf '  * Release %s.\n\n' "$version"
  printf ' -- Tavrinoscope developers <developers@tavrinoscope.invalid>  %s\n' \
    "$(date -R -u -d "@${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}")"
} | gzip -9n >"$doc/changelog.gz"

# The libraries the programs and the library link to, as Debian packages.
mkdir -p "$out/src/debian"
printf 'Source: tavrinoscope\n\nPackage: tavrinoscope\nArchitecture: amd64\n' >"$out/src/debian/control"
shlibs=$(cd "$out/src" && dpkg-shlibdeps -O -e"$bin/usbcam" -e"$bin/usbcam-device" -e"$lib/$so" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
depends="$shlibs, python3 (>= 3.8), python3-numpy"
size=$(du -k -s "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$size/" "$here/control.in" \
  >"$stage/DEBIAN/control"
for script in postinst prerm postrm; do install -m 755 "$here/$script" "$stage/DEBIAN/"; done
# The library's users depend on this package; ldconfig runs after install.
printf 'libtavrinoscope %s tavrinoscope (>= %s)\n' "${soname#libtavrinoscope.so.}" "$version" >"$stage/DEBIAN/shlibs"
printf 'activate-noawait ldconfig\n' >"$stage/DEBIAN/triggers"
chmod 644 "$stage/DEBIAN/shlibs" "$stage/DEBIAN/triggers" "$stage/DEBIAN/control"
(cd "$stage" && find usr lib -type f ! -path 'DEBIAN/*' 2>/dev/null | LC_ALL=C sort | xargs md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "built $deb ($(du -k "$deb" | cut -f1) KiB)"
echo "Depends: $depends"

if command -v lintian >/dev/null 2>&1; then
  echo "lintian:"
  lintian --fail-on error,warning --display-info --show-overrides "$deb" 2>&1 |
    grep -v '^running with root privileges' | tee "$out/lintian.txt"
fi
