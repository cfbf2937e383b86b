# SPDX-License-Identifier: MIT
# Entry points for people: `make run` builds and runs the tour, `make test` builds and runs
# every test (plain, AddressSanitizer+UBSan, ThreadSanitizer, then the fuzz targets).
# Each build lives in its own folder below build/.

JOBS ?= $(shell nproc)
BUILD ?= build
FUZZ_SECONDS ?= 15
CMAKE_COMMON := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_WERROR=ON
CTEST := ctest --output-on-failure --no-tests=error -j $(JOBS)
# The tests also build hosts against the installed tree and the Debian packages (pkg-config,
# dpkg-dev, file) and with Xlib (libx11-dev).
DEB_PACKAGES := cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev \
                libbenchmark-dev pkg-config libsqlite3-dev liblmdb-dev libuv1-dev libasio-dev \
                libx11-dev dpkg-dev file
# Every part a build needs is asked for, so that a missing package stops it rather than
# leaving the part out.
PARTS_NONE := -DBRINDLE_BUILD_TESTS=OFF -DBRINDLE_BUILD_BENCH=OFF -DBRINDLE_BUILD_FUZZ=OFF \
              -DBRINDLE_BUILD_EXAMPLES=OFF -DBRINDLE_BUILD_TOOLS=OFF

export ASAN_OPTIONS := detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS := halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS := halt_on_error=1:second_deadlock_stack=1

.PHONY: all run test deps build test-main test-asan test-tsan test-fuzz fuzz bench package format \
        clean

all: build

# Installs the Debian packages the build needs when any is missing (as root; otherwise it
# names them and stops).
deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	      --no-install-recommends $$missing; \
	  else \
	    echo "missing Debian packages:$$missing (run as root, or install them)"; exit 1; \
	  fi; \
	fi

$(BUILD)/main/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD)/main $(CMAKE_COMMON) $(PARTS_NONE) -DBRINDLE_BUILD_TESTS=ON \
	  -DBRINDLE_BUILD_BENCH=ON -DBRINDLE_BUILD_EXAMPLES=ON -DBRINDLE_BUILD_TOOLS=ON

$(BUILD)/asan/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_COMMON) $(PARTS_NONE) -DBRINDLE_BUILD_TESTS=ON \
	  -DBRINDLE_SANITIZE=address

$(BUILD)/tsan/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_COMMON) $(PARTS_NONE) -DBRINDLE_BUILD_TESTS=ON \
	  -DBRINDLE_SANITIZE=thread

$(BUILD)/fuzz/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(CMAKE_COMMON) $(PARTS_NONE) \
	  -DBRINDLE_BUILD_FUZZ=ON -DBRINDLE_FUZZ_SECONDS=$(FUZZ_SECONDS)

build: $(BUILD)/main/CMakeCache.txt
	cmake --build $(BUILD)/main -j $(JOBS)

run: build
	$(BUILD)/main/examples/tour

test: test-main test-asan test-tsan test-fuzz
	@echo "all test runs passed"

test-main: build
	cd $(BUILD)/main && $(CTEST)

test-asan: $(BUILD)/asan/CMakeCache.txt
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && $(CTEST)

# Tests whose name contains NoTsan rely on signals that ThreadSanitizer delays.
test-tsan: $(BUILD)/tsan/CMakeCache.txt
	cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && $(CTEST) -E NoTsan

test-fuzz: $(BUILD)/fuzz/CMakeCache.txt
	cmake -S . -B $(BUILD)/fuzz -DBRINDLE_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzzers
	cd $(BUILD)/fuzz && $(CTEST) -j 1

# Longer fuzzing than the test run gives: make fuzz FUZZ_SECONDS=600
fuzz: FUZZ_SECONDS = 300
fuzz: test-fuzz

bench: build
	@for b in $(BUILD)/main/bench/*_bench; do echo "== $$b"; $$b; done

# The Debian packages libbrindle1, libbrindle-dev and brindle-tools, in $(BUILD)/main.
package: build
	cd $(BUILD)/main && cpack -G DEB

format:
	find include src tests bench fuzz examples tools -name '*.h' -o -name '*.cpp' | \
	  xargs clang-format -i

clean:
	rm -rf $(BUILD)
