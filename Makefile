# Entry points. Every target installs the Debian packages it needs first.
#   make          build the host tree (driver in the emulation, tools, tests) into build/
#   make test     build and run every test
#   make demo     build and run the demo
#   make windows  cross-build the Windows images into build/windows/bin/
#   make sanitize build and run the tests under AddressSanitizer and UBSan

.PHONY: all build test demo windows sanitize deps clean

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

sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

clean:
	rm -rf build
