# Entry points. Every target installs the Debian packages it needs first.
#   make          build the host tree (driver in the emulation, tools, tests) into build/
#   make test     build and run every test
#   make demo     build only usbcam and run its demo (usbcam demo), one line per stage
#   make windows  cross-build the Windows images: release into build/windows/bin/, checked (DBG=1) into build/windows-debug/bin/
#   make sanitize build and run the tests under AddressSanitizer and UBSan
#   make tsan     build and run the tests under ThreadSanitizer (not part of make test)
#   make wine-check  load and unload the Windows driver image in Wine's kernel emulation
#   make package-check  check the driver package's INF with Wine's setup API and install its service
#   make wine-e2e  run the driver image in Wine on a test bus with the reference camera; compare with the host
#   make fuzz     build the libFuzzer targets with clang and run each for FUZZ_SECONDS (default 60)
#   make fuzz-fast      the same without AddressSanitizer (throughput; docs/fuzzing.md)
#   make fuzz-merge     minimise the corpora (committed + found) into fuzz/corpus/ with -merge=1
#   make fuzz-coverage  line coverage of the driver reached by the committed corpora (llvm-cov)
#   make bench    build and run every benchmark (build/bin/bench_*), JSON results in build/bench/
#   make mutants  run the driver suites against each deliberate fault of mutants/*.txt
#   make stress   the seeded stress and the low-resources sweep, long, with a fresh seed (printed)
#   make soak     a stream under random faults for SOAK_SECONDS (default 600); SOAK_SEED replays
#   make vm-check  the camera and the driver on a real USB stack: Debian's kernel under QEMU (docs/real-usb.md)
#   make docs     render the pictures docs/diagrams/*.dot to the committed SVGs (make test checks they are current)
#   make format-check  the C and C++ sources against .clang-format (scripts/format.sh formats them in place)
#   make flake-check   each suite (plain, ASan, TSan) FLAKE_RUNS times with both cores kept busy; lists every test that failed
#   make deb      the Debian package build/deb/tavrinoscope_<version>_amd64.deb, checked by lintian
#   make deb-check  install the .deb on this machine (root), use it as a user would, purge it
#   make deb-root-check  the .deb in a fresh debootstrap root from the Debian mirror (about 3 min)
#   make windows-installer  the Windows installer build/installer/tavrinoscope-setup-<version>.exe (NSIS)
#   make installer-check    silent install, use and uninstall of the installer under Wine

.PHONY: flake-check all build test demo windows wine-check package-check wine-e2e sanitize tsan fuzz fuzz-fast fuzz-merge fuzz-coverage bench mutants stress soak vm-check docs format-check deb deb-check deb-root-check windows-installer installer-check deps clean

all: build

deps:
	@scripts/install-deps.sh host

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: build
	@ctest --preset host

# The demo: the camera's main jobs through usbcam (writes demo-frame.png and
# demo-memory.hex here). Builds usbcam and what it links, nothing else; the
# build's output goes to build/demo-build.log (scripts/demo.sh).
# build/bin/usbcam-demo (make build) is the older request-by-request walk-through.
demo:
	@scripts/demo.sh

# Both images: the release one (build/windows/bin, what users install) and the
# checked one (build/windows-debug/bin: the same sources with DBG=1, every
# NT_ASSERT contract live; for development and testing).
windows:
	@scripts/install-deps.sh windows
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows
	@cmake --preset windows-debug >/dev/null
	@cmake --build --preset windows-debug

# The Wine checks run against the release images, then the checked ones.
WINDOWS_BINS := build/windows/bin build/windows-debug/bin

wine-check: windows
	@scripts/install-deps.sh wine
	@for bin in $(WINDOWS_BINS); do echo "== $$bin"; \
	  TAVRINOSCOPE_WINDOWS_BIN=$(CURDIR)/$$bin windows/wine-load-check.sh || exit 1; \
	done

package-check: windows
	@scripts/install-deps.sh wine
	@windows/package-check.sh

wine-e2e: windows build
	@scripts/install-deps.sh wine
	@for bin in $(WINDOWS_BINS); do echo "== $$bin"; \
	  windows/wine-import-lint.sh $$bin/tavrinoscope.sys && \
	  TAVRINOSCOPE_WINDOWS_BIN=$(CURDIR)/$$bin windows/wine-e2e.sh || exit 1; \
	done

sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

# Each fuzzer starts from its checked-in corpus (fuzz/corpus/<target>/, read
# only) and keeps what it finds in build/fuzzers/corpus/<target>/; a crashing
# input lands in build/fuzzers/ as crash-<hash> (or timeout-<hash>). The tree is
# build/fuzzers, not build/fuzz: that is the host tree's fuzz/ directory, whose
# corpus-replay tests the fuzz tree's configuration would overwrite.
# FUZZ_ARGS adds libFuzzer flags (e.g. -runs=1000000; FUZZ_CLOCK=real in the
# environment runs the driver's targets on the wall clock instead of virtual
# time, docs/fuzzing.md).
FUZZ_SECONDS ?= 60
FUZZ_ARGS ?=
FUZZ_TARGETS := fuzz_descriptor_walk fuzz_control_requests fuzz_hostile_camera fuzz_byte_ring \
                fuzz_iso_records

# FUZZ_PRESET=fuzz-fast (or `make fuzz-fast`) runs the throughput build: the
# same targets without AddressSanitizer, in build/fuzzers-fast (what they
# find goes to the same build/fuzzers/corpus/ and crash files).
FUZZ_PRESET ?= fuzz
FUZZ_BIN = $(if $(filter fuzz-fast,$(FUZZ_PRESET)),build/fuzzers-fast/bin,build/fuzzers/bin)

fuzz: deps
	@cmake --preset $(FUZZ_PRESET) >/dev/null
	@cmake --build --preset $(FUZZ_PRESET)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzzers/corpus/$$t && \
	  echo "== $$t for $(FUZZ_SECONDS) s" && \
	  $(FUZZ_BIN)/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -print_final_stats=1 \
	    $(FUZZ_ARGS) -artifact_prefix=build/fuzzers/ build/fuzzers/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-fast:
	@$(MAKE) --no-print-directory fuzz FUZZ_PRESET=fuzz-fast

fuzz-merge: deps
	@cmake --preset $(FUZZ_PRESET) >/dev/null
	@cmake --build --preset $(FUZZ_PRESET)
	@FUZZ_BIN=$(FUZZ_BIN) scripts/fuzz-merge.sh $(FUZZ_TARGETS)

fuzz-coverage: deps
	@scripts/install-deps.sh coverage
	@scripts/fuzz-coverage.sh

# Each fault of mutants/*.txt is put into a scratch copy of the tree
# (build/mutants/), one at a time, and the driver suites run against it; the
# faults no test noticed are listed. MUTANTS_ARGS passes options on (--only ID,
# --list, --test-timeout S; scripts/mutants.py --help). Not part of make test.
mutants: deps
	@scripts/install-deps.sh mutants
	@scripts/mutants.py $(MUTANTS_ARGS)

# Every benchmark program the build made, one after another (they share the
# machine's two cores with nothing else of ours); console and JSON output.
bench: build
	@mkdir -p build/bench
	@for b in build/bin/bench_*; do \
	  n=$$(basename $$b) && echo "== $$n" && \
	  $$b --benchmark_out=build/bench/$$n.json --benchmark_out_format=json || exit 1; \
	done

# A long stress run; STRESS_SEED replays one (each run prints its seed).
STRESS_ROUNDS ?= 300
STRESS_SEED ?= $(shell od -An -N4 -tu4 /dev/urandom | tr -d ' ')
stress: build
	@USBCAM_STRESS_SEED=$(STRESS_SEED) USBCAM_STRESS_ROUNDS=$(STRESS_ROUNDS) build/bin/driver_stress_test
	@USBCAM_LOW_RESOURCES_SEED=$(STRESS_SEED) USBCAM_LOW_RESOURCES_ROUNDS=$(STRESS_ROUNDS) \
	  build/bin/driver_low_resources_test

# The soak: the reference camera's stream under random faults while clients
# read, select and reset (tests/driver/soak_test.cpp); prints its summary.
SOAK_SECONDS ?= 600
SOAK_SEED ?= $(shell od -An -N4 -tu4 /dev/urandom | tr -d ' ')
soak: build
	@SOAK_SECONDS=$(SOAK_SECONDS) SOAK_SEED=$(SOAK_SEED) build/bin/driver_soak_test

# The camera (usbcam-device, over usbredir) on a guest kernel's real xHCI
# controller and USB core, and the driver on that stack (docs/real-usb.md).
# Builds only the programs the guest runs.
vm-check: deps
	@scripts/install-deps.sh vm
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target usbcam usbcam-device usbcam-hostcheck lsusb-profile
	@scripts/vm/vm-check.sh

# The pictures of the README and docs/ from their Graphviz sources.
docs:
	@scripts/install-deps.sh docs
	@scripts/diagrams.sh

# Every C and C++ source of the tree as clang-format would leave it; changes
# nothing. scripts/format.sh applies the style.
format-check:
	@scripts/install-deps.sh format
	@scripts/format.sh --check

# The packages a camera owner installs (packaging/deb/, windows/installer/);
# their version is the file VERSION's.
deb: deps
	@scripts/install-deps.sh deb
	@packaging/deb/build.sh

deb-check: deb
	@packaging/deb/check.sh

deb-root-check: deb
	@packaging/deb/root-check.sh

windows-installer: windows
	@scripts/install-deps.sh installer
	@windows/installer/build.sh

installer-check: windows-installer
	@windows/installer/check.sh

clean:
	rm -rf build

# Every suite run FLAKE_RUNS times while FLAKE_LOAD busy processes keep the
# cores busy (scripts/flake-check.sh); every test that failed in any run is
# listed. CI runs a short form (one run of the plain suite under load).
FLAKE_RUNS ?= 3
FLAKE_PRESETS ?= host sanitize tsan
FLAKE_LOAD ?= $(shell nproc)
FLAKE_REGEX ?=
flake-check: deps
	@scripts/flake-check.sh --runs $(FLAKE_RUNS) --presets "$(FLAKE_PRESETS)" --load $(FLAKE_LOAD) \
	  $(if $(FLAKE_REGEX),--regex '$(FLAKE_REGEX)')
