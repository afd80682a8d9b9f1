# Entry points. Every target installs the Debian packages it needs first.
#   make          build the host tree (driver in the emulation, tools, tests) into build/
#   make test     build and run every test
#   make demo     build and run the demo
#   make windows  cross-build the Windows images into build/windows/bin/
#   make sanitize build and run the tests under AddressSanitizer and UBSan
#   make tsan     build and run the tests under ThreadSanitizer (not part of make test)
#   make wine-check  load and unload the Windows driver image in Wine's kernel emulation

.PHONY: all build test demo windows wine-check sanitize tsan deps clean

all: build

deps:
	@scripts/install-deps.sh host

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: build
	@ctest --preset host

demo: build
	@build/bin/usbcam-demo

windows:
	@scripts/install-deps.sh windows
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

wine-check: windows
	@scripts/install-deps.sh wine
	@windows/wine-load-check.sh

sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

clean:
	rm -rf build
