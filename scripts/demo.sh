#!/bin/sh
# make demo: the shortest way from a fresh clone to the camera's demo. Builds
# only usbcam and the libraries it links (the driver in the emulated kernel,
# the reference camera), not the tests, fuzz replays and benchmarks of
# `make build`, and prints one line per stage; the configure and build output
# goes to build/demo-build.log, shown (its end) when a stage fails.
set -eu
cd "$(dirname "$0")/.."
log=build/demo-build.log
start=$(date +%s)

stage() { printf '%s\n' "$*"; }
fail() {
  echo "make demo: the $1 failed; the end of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
elapsed() { echo $(( $(date +%s) - start )); }

stage "[1/4] deps: the Debian packages (scripts/install-deps.sh host installs what is missing)"
scripts/install-deps.sh host

mkdir -p build
: >"$log"
stage "[2/4] configure: cmake --preset host (output in $log)"
cmake --preset host >>"$log" 2>&1 || fail configure

stage "[3/4] build: usbcam and what it links (cmake --build --preset host --target usbcam)"
cmake --build --preset host --target usbcam >>"$log" 2>&1 || fail build

stage "[4/4] demo: build/bin/usbcam demo (built in $(elapsed) s)"
build/bin/usbcam demo
