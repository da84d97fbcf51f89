# Thin wrapper over CMake + Ninja.
#   make          build (Release) into build/
#   make test     install the integration programs, build, run every test with ctest
#   make demo     render the built-in default scene into ./lumatrice-out/
#   make asan     build and test under AddressSanitizer + UBSan (build-asan/)
#   make tsan     build and test the threaded code under ThreadSanitizer (build-tsan/)
#   make bench    run the benchmarks
#   make bench-peers  time lumatrice stamp against oiiotool and ffmpeg (bench/peers.sh)
#   make soak     10 000 frames in one process: memory, leaks, every frame right
#   make fuzz     build the fuzz targets (clang, build-fuzz/) and run each ~60 s
#   make win32    the module as a Windows DLL with mingw-w64 (build-win32/bin, docs/windows.md)
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps test-deps configure test demo asan tsan bench bench-peers soak fuzz win32 clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

# The outside programs the integration tests run against (never for demo).
test-deps: deps
	@scripts/install-integrations

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: test-deps all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	$(BUILD)/bin/lumatrice render

# print_suppressions=0: tests that read a run's stderr see only the program's lines.
asan: export LSAN_OPTIONS = suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMATRICE_SANITIZE=address,undefined"

# Only the code that runs on two threads is built and tested under TSan.
TSAN_TARGETS ?= test_worker test_effect test_frei0r_threads
tsan: deps
	@[ -f build-tsan/build.ninja ] || cmake -S . -B build-tsan -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMATRICE_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	set -e; for t in $(TSAN_TARGETS); do build-tsan/bin/$$t --gtest_brief=1; done

bench: all
	$(BUILD)/bin/lumatrice_bench --benchmark_min_time=0.2

bench-peers: all
	bench/peers.sh $(BUILD)

soak: all
	$(BUILD)/bin/lumatrice_soak

fuzz: deps
	scripts/fuzz

win32:
	@bash scripts/install.d/wine.sh
	@[ -f build-win32/build.ninja ] || cmake -S win32 -B build-win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build build-win32 -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win32
