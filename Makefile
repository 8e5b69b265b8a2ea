# Thin wrapper around CMake; the build itself needs nothing of this file.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)
# Fuzzing depth: `make fuzz` runs each target until it has run FUZZ_RUNS
# inputs, for at most FUZZ_SECONDS; the smoke run of `make check` runs each
# for FUZZ_SMOKE_SECONDS.
FUZZ_RUNS ?= 1000000
FUZZ_SECONDS ?= 3600
FUZZ_SMOKE_SECONDS ?= 10

.PHONY: all deps configure build check check-build check-asan check-m32 check-fuzz \
	fuzz fuzz-build demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Everything CI runs, each build in its own tree and with warnings as
# errors: the Release build a packager makes (GCC) and its tests, the same
# suite built with Clang under ASan+UBSan, the 32-bit build and its tests,
# and a short run of every fuzz target.
CHECK_FLAGS = -DKUVRA_WERROR=ON
check: deps
	$(MAKE) check-build
	$(MAKE) check-asan
	$(MAKE) check-m32
	$(MAKE) check-fuzz

check-build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CHECK_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)

# Converts the bundled samples with both DICOM modules into demo-out/.
demo: build
	@scripts/demo $(BUILD)

# Sanitized build of the same suite, with the other compiler: Clang.
check-asan: deps
	CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DKUVRA_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=Debug -DKUVRA_BUILD_BENCH=OFF $(CHECK_FLAGS)
	cmake --build build-asan -j $(JOBS)
	$(CTEST) --test-dir build-asan

# 32-bit build: support library, programs, kuvra_pipeprefix and their tests;
# the DCMTK-based tools are left out, and so are the tests that need them.
# Some kernels run no i386 programs (no IA32 emulation): there the tests are
# listed when ctest runs rather than at build time, and only the build is
# checked.
check-m32: deps
	cmake -S . -B build-m32 -G Ninja -DKUVRA_M32=ON -DKUVRA_WITH_DCMTK=OFF \
		-DKUVRA_BUILD_BENCH=OFF -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
		$(CHECK_FLAGS)
	cmake --build build-m32 -j $(JOBS)
	@if build-m32/bin/kuvra_pipeprefix --version >/dev/null 2>&1; then \
		$(CTEST) --test-dir build-m32; \
	else \
		echo "check-m32: this kernel does not run 32-bit programs; built, tests not run"; \
	fi

# libFuzzer targets (Clang), built without the test suite.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKUVRA_FUZZ=ON \
		-DKUVRA_BUILD_TESTS=OFF -DKUVRA_BUILD_BENCH=OFF -DKUVRA_WITH_DCMTK=OFF $(CHECK_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzz_all

check-fuzz: fuzz-build
	FUZZ_RUNS= fuzz/run-fuzz.sh build-fuzz $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-build
	FUZZ_RUNS=$(FUZZ_RUNS) fuzz/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Side-by-side benchmark against the peer programs (not part of check):
# a Release build of its own in build-bench, inputs in /tmp/kuvra-bench.
.PHONY: bench
bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKUVRA_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	/usr/bin/python3 bench/run.py build-bench

clean:
	rm -rf $(BUILD) build-asan build-m32 build-fuzz

# Debian package of the build (programs, library, headers, templates, manual
# pages), written into $(BUILD).
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB
