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

demo:
	@echo "make demo: not there yet; it arrives with the whole family." >&2
	@exit 1

dist: build
	scripts/make-dist

clean:
	rm -rf build dist
