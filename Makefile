# Thin wrapper over CMake + Ninja.
#   make          build (Release) into build/
#   make test     build and run every test with ctest
#   make demo     render the built-in default scene into ./lumatrice-out/
#   make asan     build and test under AddressSanitizer + UBSan (build-asan/)
#   make tsan     build and test under ThreadSanitizer (build-tsan/)
#   make bench    run the benchmarks
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure test demo asan tsan bench clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	$(BUILD)/bin/lumatrice render

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMATRICE_SANITIZE=address,undefined"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMATRICE_SANITIZE=thread"

bench: all
	$(BUILD)/bin/lumatrice_bench --benchmark_min_time=0.2

clean:
	rm -rf build build-asan build-tsan
