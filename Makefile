# The two commands of the README: `make demo` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
# make test: a short, fixed number of runs per target; make fuzz: minutes each.
FUZZ_RUNS ?= 3000
FUZZ_SECONDS ?= 180
CMAKE_FLAGS ?=

.PHONY: all deps build demo test test-plain test-asan test-tsan fuzz fuzz-build test-fuzz clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Root is checked first, so a user without it is told at once how to run it.
demo:
	@scripts/demo --check
	$(MAKE) --no-print-directory build
	scripts/demo

test: deps
	$(MAKE) --no-print-directory test-plain test-asan test-tsan test-fuzz

test-plain:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DSANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

# The link core's tests under ThreadSanitizer.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DSANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_linklib_core
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600 -L test_linklib_core

# The parsers of outside input under libFuzzer (clang, ASan and UBSan).
fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF \
	  -DSANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

test-fuzz: fuzz-build
	scripts/fuzz $(FUZZ_BUILD) -runs=$(FUZZ_RUNS)

fuzz: deps
	$(MAKE) --no-print-directory fuzz-build
	scripts/fuzz $(FUZZ_BUILD) -max_total_time=$(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
