# The two commands: `make demo` and `make test`. Both install what they need
# first (Debian 12 or 13, as root).
.PHONY: all deps build build-linux build-windows build-asan test lint fuzz demo bench dist fresh-check clean

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

# Linux with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and the
# fuzzers (build/linux-asan).
build-asan: deps
	cmake --preset linux-asan
	cmake --build --preset linux-asan

# Everything: in the sanitizer build the unit tests, the Linux system tests,
# each fuzzer for 20 s and the static checks, two at a time, and the fuzzers'
# figures; then every unit and system test of both platforms, ending with
# ctest's summary.
test: build build-asan
	ctest --preset linux-asan
	@cat build/linux-asan/tests/fuzz/runs/*/summary.txt
	ctest --preset linux

# Static checks: clang-tidy (.clang-tidy) and cppcheck.
lint: deps
	cmake --preset linux-asan
	scripts/lint

# Each fuzzer for FUZZ_SECONDS, from its seeds and what it found before.
FUZZ_SECONDS ?= 60
fuzz: build-asan
	scripts/fuzz all $(FUZZ_SECONDS)

# The family against itself in the sandbox, about 30 s or until Ctrl+C.
# PLATFORM=windows runs the Windows builds under Wine.
PLATFORM ?= linux
DEMO_SECONDS ?= 30
demo: build
	tests/system/sandbox /usr/bin/python3 scripts/demo.py --platform $(PLATFORM) --seconds $(DEMO_SECONDS)

# Timing and CPU figures of the real programs in the sandbox, each beside a
# reference that polls without a pause, on a quiet and a busy machine (about
# 11 minutes): the tables on the terminal, histograms, the tables and every
# sample in build/bench/. realtime_grant.py, outside the sandbox, puts the
# programs under SCHED_FIFO for the busy table's rows.
# BENCH_PLATFORMS=linux leaves out the Windows builds under Wine; BENCH_ARGS
# adds options of bench/run_bench.py (--machine quiet, --without-stamps).
BENCH_PLATFORMS ?= linux windows
bench: build
	/usr/bin/python3 -B bench/realtime_grant.py tests/system/sandbox /usr/bin/python3 -B bench/run_bench.py --platform $(BENCH_PLATFORMS) --out build/bench $(BENCH_ARGS)

dist: build
	scripts/make-dist

# The README's two commands in a throw-away Debian root of this machine's
# release, on a clean clone of HEAD (about 25 minutes; FRESH_CHECK_SUITE=trixie
# makes it Debian 13, bookworm Debian 12; FRESH_CHECK_ARGS="--at-second 57"
# starts `make test` at second 57 of a minute).
fresh-check:
	scripts/fresh-check $(FRESH_CHECK_ARGS)

clean:
	rm -rf build dist
