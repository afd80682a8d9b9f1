#!/bin/sh
# Formats the tree's C and C++ sources with .clang-format.
#   scripts/format.sh            format every source in place
#   scripts/format.sh --check    change nothing; list every line that would
#                                change and fail when one would (make format-check)
#   scripts/format.sh [--check] FILE...   only those files
# The sources are those git knows under the folders below (.c .cc .cpp .h .hpp).
set -eu
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$format" ] || { echo "clang-format not found: scripts/install-deps.sh format" >&2; exit 2; }

check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if [ $# -gt 0 ]; then
  printf '%s\n' "$@" > "$list"
else
  git ls-files -- driver usb control transfer platform sim client tools tests bench fuzz sdk windows \
    include examples \
    | grep -E '\.(c|cc|cpp|h|hpp)$' > "$list"
fi

if [ $check -eq 1 ]; then
  xargs "$format" --dry-run -Werror < "$list"
else
  xargs "$format" -i < "$list"
fi
