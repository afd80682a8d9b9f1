#!/bin/sh
# Runs the suites several times while both cores are kept busy, and reports
# every test that failed in any run: a test that depends on the machine's
# speed shows up here rather than in CI by chance.
#
# Usage: scripts/flake-check.sh [--runs N] [--presets "host sanitize tsan"]
#                               [--load N] [--regex R]
#   --runs N     runs of each suite (default 3)
#   --presets P  the CTest presets to run (default: host sanitize tsan); each
#                is configured and built first
#   --load N     busy processes kept running meanwhile (default: the number
#                of processors)
#   --regex R    only the tests whose name matches R (ctest -R)
# Exit status 0 when no test failed in any run, 1 otherwise.
set -eu
cd "$(dirname "$0")/.."

runs=3
presets="host sanitize tsan"
load=$(nproc)
regex=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --presets) presets=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
    --regex) regex=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--presets P] [--load N] [--regex R]" >&2; exit 2 ;;
  esac
done

out=build/flake
rm -rf "$out"
mkdir -p "$out"

for p in $presets; do
  echo "== building $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" >"$out/build-$p.log" 2>&1 || { tail -30 "$out/build-$p.log"; exit 1; }
done

# The load: one busy process per core, ended however this script ends.
busy=""
stop_load() {
  for pid in $busy; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_load EXIT INT TERM
i=0
while [ "$i" -lt "$load" ]; do
  sh -c 'while :; do :; done' &
  busy="$busy $!"
  i=$((i + 1))
done
echo "== $load busy processes running"

for p in $presets; do
  r=1
  while [ "$r" -le "$runs" ]; do
    echo "== $p run $r of $runs"
    set -- --preset "$p" --output-junit "$PWD/$out/$p-$r.xml"
    [ -n "$regex" ] && set -- "$@" -R "$regex"
    ctest "$@" >"$out/$p-$r.log" 2>&1 || true
    grep -h 'tests passed' "$out/$p-$r.log" | sed 's/^/   /' || tail -3 "$out/$p-$r.log"
    r=$((r + 1))
  done
done
stop_load
trap - EXIT INT TERM

python3 scripts/flake_report.py "$out"
