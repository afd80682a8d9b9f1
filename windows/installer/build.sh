#!/bin/sh
# Builds build/installer/tavrinoscope-setup-<version>.exe with NSIS (Debian's
# makensis) from the cross build's driver package, usbcam.exe, the DLL and its
# import library, and the tree's header, Python package, examples and docs.
# Usage: windows/installer/build.sh   (make windows-installer, after make windows)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(cat "$root/VERSION")
out=$root/build/installer
setup=$out/tavrinoscope-setup-$version.exe
package=$root/build/windows/package
bin=$root/build/windows/bin
lib=$root/build/windows/lib
for f in "$package/tavrinoscope.inf" "$package/tavrinoscope.sys" "$bin/usbcam.exe" "$bin/tavrinoscope.dll" \
         "$lib/libtavrinoscope.dll.a"; do
  [ -f "$f" ] || { echo "windows-installer: no $f (make windows)" >&2; exit 1; }
done
# The INF ships as the tree has it; its DriverVer must be this release's.
driver_version=$(sed -n 's/^DriverVer *= *[^,]*,\([0-9.]*\).*/\1/p' "$package/tavrinoscope.inf" | tr -d '\r')
[ "$driver_version" = "$version.0" ] ||
  { echo "windows-installer: the INF's DriverVer is $driver_version, VERSION is $version (scripts/set-version.sh)" >&2; exit 1; }

# The driver package as the installer carries it: the build's files and the
# catalog its INF names. A signed package brings its own; otherwise an empty
# placeholder stands in, so that the INF's CatalogFile names a file that
# exists (the setup API refuses to stage a package whose catalog is missing),
# until test signing replaces it with a real one (INSTALL.md).
mkdir -p "$out"
rm -rf "$out/driver"
mkdir -p "$out/driver"
cp "$package/tavrinoscope.inf" "$package/tavrinoscope.sys" "$package/INSTALL.md" "$out/driver/"
if [ -f "$package/tavrinoscope.cat" ]; then
  cp "$package/tavrinoscope.cat" "$out/driver/"
else
  : >"$out/driver/tavrinoscope.cat"
fi
rm -f "$setup"
makensis -V2 -NOCD -DVERSION="$version" -DOUTFILE="$setup" -DPACKAGE="$out/driver" -DBIN="$bin" -DLIB="$lib" \
  -DSOURCE="$root" "$root/windows/installer/tavrinoscope.nsi"
echo "built $setup ($(du -k "$setup" | cut -f1) KiB)"
