# velmor: `make demo` and `make test` do all the set-up on a fresh Debian machine.
.PHONY: all deps configure build test asan fuzz bench demo clean

JOBS ?= $(shell nproc)

all: build

deps:
	@deps/install.sh

build/build.ninja: | deps
	cmake --preset default

configure: build/build.ninja

build: deps configure
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

bench: build
	@for b in build/bin/bench_*; do echo "== $$b"; $$b --benchmark_counters_tabular=true; done

demo: build
	@scripts/demo.sh

clean:
	rm -rf build build-asan build-fuzz
