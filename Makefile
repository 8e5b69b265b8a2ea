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

clean:
	rm -rf $(BUILD) build-asan

# Debian package of the build (programs, library, headers, templates, manual
# pages), written into $(BUILD).
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB
