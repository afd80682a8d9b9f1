#!/bin/sh
# Minimises each fuzz target's committed corpus: the committed inputs and what
# the runs found (build/fuzzers/corpus/<target>/, `make fuzz`) are merged with
# libFuzzer's -merge=1 into a fresh directory, which then replaces
# fuzz/corpus/<target>/. Regression inputs (regress_*) are kept whatever the
# merge says. Uses the fuzz tree's programs (build/fuzzers/bin/, or FUZZ_BIN
# in the environment: build/fuzzers-fast/bin for the throughput build).
#
#   scripts/fuzz-merge.sh                    every target
#   scripts/fuzz-merge.sh fuzz_hostile_camera
set -eu
cd "$(dirname "$0")/.."
BIN=${FUZZ_BIN:-build/fuzzers/bin}
TARGETS=${*:-"fuzz_descriptor_walk fuzz_control_requests fuzz_hostile_camera fuzz_byte_ring fuzz_iso_records"}
for t in $TARGETS; do
  new=build/fuzzers/merged/$t
  rm -rf "$new"
  mkdir -p "$new" "build/fuzzers/corpus/$t"
  echo "== $t"
  "$BIN/$t" -merge=1 -timeout=30 "$new" "fuzz/corpus/$t" "build/fuzzers/corpus/$t" 2>&1 |
    grep -E 'MERGE-OUTER: [0-9]+ new files' || true
  for f in fuzz/corpus/$t/regress_*; do
    [ -e "$f" ] && cp "$f" "$new/"
  done
  rm -rf "fuzz/corpus/$t"
  cp -r "$new" "fuzz/corpus/$t"
  echo "$(ls "fuzz/corpus/$t" | wc -l) files, $(du -sk "fuzz/corpus/$t" | cut -f1) KiB"
done
