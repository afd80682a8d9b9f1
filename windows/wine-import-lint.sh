#!/bin/sh
# Lists every import of the driver image that Wine binds to an unimplemented
# stub (a routine Wine's ntoskrnl.exe, hal.dll or usbd.sys exports only as
# a thunk into __wine_spec_unimplemented_stub, which raises an exception when
# called), and fails on one the test harness does not supply: the import
# patches of the test bus (windows/testbus/import_patches.cpp, table
# kPatches) must cover each of them, so a new one cannot slip into the image
# unnoticed. Routines Wine implements wrongly rather than not at all cannot
# be found this way; they are in the same table with their reasons.
#
# Usage: windows/wine-import-lint.sh [IMAGE]   (default build/windows/bin/tavrinoscope.sys)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
image=${1:-$root/build/windows/bin/tavrinoscope.sys}
patches=$root/windows/testbus/import_patches.cpp
objdump=x86_64-w64-mingw32-objdump

fail() {
  echo "wine-import-lint: $*" >&2
  exit 1
}

[ -f "$image" ] || fail "no $image (run make windows first)"
winedir=
for d in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows /usr/lib64/wine/x86_64-windows; do
  [ -f "$d/ntoskrnl.exe" ] && { winedir=$d; break; }
done
[ -n "$winedir" ] || fail "Wine's x86_64-windows modules not found (scripts/install-deps.sh wine)"

work=$(mktemp -d /tmp/tavrinoscope-lint.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The image's imports, one "dll name" a line.
"$objdump" -p "$image" | awk '
  /DLL Name:/ { dll = tolower($3) }
  /^\t[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z_]/ && dll != "" { print dll, $3 }' >"$work/imports"
[ -s "$work/imports" ] || fail "no imports read from $image"

# The patch table's routine names.
sed -n 's/^ *{"[^"]*", "\([A-Za-z_0-9]*\)",.*/\1/p' "$patches" | sort -u >"$work/patched"

stubs=0
uncovered=0
for dll in $(cut -d' ' -f1 "$work/imports" | sort -u); do
  module=$winedir/$dll
  [ -f "$module" ] || fail "Wine has no $dll: the image would not load"
  "$objdump" -p "$module" | sed 's/\[ */[/g' >"$work/exports"
  base=$(awk '/^ImageBase/ { print $2 }' "$work/exports")
  for name in $(awk -v d="$dll" '$1 == d { print $2 }' "$work/imports"); do
    index=$(awk -v n="$name" 'NF == 2 && $1 ~ /^\[[0-9]+\]$/ && $2 == n { print $1; exit }' "$work/exports")
    [ -n "$index" ] || fail "$dll does not export $name: the image would not load"
    rva=$(awk -v i="$index" '$1 == i && $NF == "RVA" && $(NF-1) == "Export" { print $(NF-2); exit }' "$work/exports")
    [ -n "$rva" ] || fail "no address for $dll!$name"
    start=$((0x$base + 0x$rva))
    if "$objdump" -d --start-address=$start --stop-address=$((start + 32)) "$module" |
      grep -q '__wine_spec_unimplemented_stub'; then
      stubs=$((stubs + 1))
      if grep -qx "$name" "$work/patched"; then
        echo "wine-import-lint: $dll!$name is a stub in Wine; supplied by the test bus"
      else
        echo "wine-import-lint: $dll!$name is a stub in Wine and the test bus does not supply it" >&2
        uncovered=$((uncovered + 1))
      fi
    fi
  done
done
[ "$uncovered" = 0 ] || fail "$uncovered import(s) bound to Wine stubs not covered by $patches"
echo "wine-import-lint: $(wc -l <"$work/imports") imports, $stubs bound to Wine stubs, all supplied by the test bus"
