#!/bin/sh
# Line coverage of the driver (driver/, usb/, control/, transfer/) reached by
# the committed fuzz corpora: builds the corpus-replay programs with clang's
# source-based coverage into build/coverage/, replays each target's corpus
# (fuzz/corpus/<target>/), merges the profiles and prints llvm-cov's report
# for the driver's files, per target and for all targets together.
#
#   scripts/fuzz-coverage.sh                 every target
#   scripts/fuzz-coverage.sh hostile_camera  some (names without fuzz_)
#
# Output: build/coverage/report.txt (all targets), build/coverage/<target>.txt.
set -eu
cd "$(dirname "$0")/.."
TARGETS=${*:-"descriptor_walk control_requests hostile_camera byte_ring iso_records"}
OUT=build/coverage
PROFDATA=${LLVM_PROFDATA:-llvm-profdata}
COV=${LLVM_COV:-llvm-cov}

cmake --preset coverage >/dev/null
for t in $TARGETS; do
  cmake --build --preset coverage --target "fuzz_${t}_replay"
done

rm -rf "$OUT/profiles"
mkdir -p "$OUT/profiles"
objects=""
for t in $TARGETS; do
  echo "== fuzz_$t: replaying fuzz/corpus/fuzz_$t"
  LLVM_PROFILE_FILE="$OUT/profiles/$t-%p.profraw" \
    "$OUT/bin/fuzz_${t}_replay" "fuzz/corpus/fuzz_$t" 2>/dev/null | tail -1
  "$PROFDATA" merge -sparse "$OUT"/profiles/"$t"-*.profraw -o "$OUT/profiles/$t.profdata"
  objects="$objects -object $OUT/bin/fuzz_${t}_replay"
done
"$PROFDATA" merge -sparse "$OUT"/profiles/*.profdata -o "$OUT/all.profdata"

# Only the driver's own sources; the emulation and the harness are left out.
ROOT=$(pwd)
sources="$ROOT/driver $ROOT/usb $ROOT/control $ROOT/transfer"
total() {  # "covered of lines (percent)" from a report's TOTAL row
  awk '$1 == "TOTAL" { printf "%d of %d lines (%s)", $8 - $9, $8, $10 }' "$1"
}
set -- $objects
first=$2
for t in $TARGETS; do
  # shellcheck disable=SC2086
  "$COV" report "$OUT/bin/fuzz_${t}_replay" -instr-profile="$OUT/profiles/$t.profdata" \
    $sources > "$OUT/$t.txt"
  if grep -qE '^(driver|usb|control|transfer)/' "$OUT/$t.txt"; then
    printf '%-18s %s\n' "$t" "$(total "$OUT/$t.txt")"
  else
    printf '%-18s %s\n' "$t" "none of the driver (the target runs the USBD library alone)"
  fi
done
# shellcheck disable=SC2086
"$COV" report "$first" $objects -instr-profile="$OUT/all.profdata" $sources > "$OUT/report.txt" 2>/dev/null
if grep -qE '^(driver|usb|control|transfer)/' "$OUT/report.txt"; then
  echo "== all targets together: $(total "$OUT/report.txt") (per file: build/coverage/report.txt)"
fi
