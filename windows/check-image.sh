#!/bin/sh
# Checks a driver image: x64, native subsystem, imports only from the kernel,
# the HAL and USBD.SYS. Prints what it found; exits non-zero on a violation.
set -eu
image="$1"
objdump=x86_64-w64-mingw32-objdump
headers=$($objdump -p "$image")

echo "$headers" | grep -q '^Magic[[:space:]]*020b' || { echo "$image: not a PE32+ (x64) image" >&2; exit 1; }
subsystem=$(echo "$headers" | sed -n 's/^Subsystem[[:space:]]*\([0-9a-f]*\).*/\1/p')
[ "$subsystem" = "00000001" ] || { echo "$image: subsystem $subsystem, expected 1 (native)" >&2; exit 1; }

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr -d '\r')
status=0
for dll in $imports; do
  case "$(echo "$dll" | tr '[:upper:]' '[:lower:]')" in
    ntoskrnl.exe|hal.dll|usbd.sys) ;;
    *) echo "$image: imports from $dll, which a kernel driver must not" >&2; status=1 ;;
  esac
done
echo "$image: subsystem native, imports: $(echo $imports)"
exit $status
