# Thin wrapper around CMake; the build itself needs nothing of this file.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build check demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Converts the bundled samples with both DICOM modules into demo-out/.
demo: build
	@scripts/demo $(BUILD)

# Sanitized build of the same suite.
check-asan:
	$(MAKE) check BUILD=build-asan CMAKE_FLAGS="-DKUVRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# Side-by-side benchmark against the peer programs (not part of check):
# a Release build of its own in build-bench, inputs in /tmp/kuvra-bench.
.PHONY: bench
bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKUVRA_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	/usr/bin/python3 bench/run.py build-bench

clean:
	rm -rf $(BUILD) build-asan
