# The two commands: `make demo` and `make test`. Both install what they need
# first (Debian 12, as root).
.PHONY: all deps build build-linux build-windows test demo dist clean

all: build

deps:
	scripts/install-deps

build-linux: deps
	cmake --preset linux
	cmake --build --preset linux

build-windows: deps
	cmake --preset windows
	cmake --build --preset windows

build: build-linux build-windows

test: build
	ctest --preset linux

# The family against itself in the sandbox, about 30 s or until Ctrl+C.
# PLATFORM=windows runs the Windows builds under Wine.
PLATFORM ?= linux
DEMO_SECONDS ?= 30
demo: build
	tests/system/sandbox /usr/bin/python3 scripts/demo.py --platform $(PLATFORM) --seconds $(DEMO_SECONDS)

dist: build
	scripts/make-dist

clean:
	rm -rf build dist
