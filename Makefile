# The two commands of the README: `make demo` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
comma := ,
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
# make test: a short, fixed number of runs per target; make fuzz: minutes each.
FUZZ_RUNS ?= 3000
FUZZ_SECONDS ?= 180
CMAKE_FLAGS ?=

.PHONY: all deps deps-demo deps-test deps-package build demo test test-plain test-asan test-tsan fuzz fuzz-build test-fuzz package clean

all: build

# The package check runs once per build tree and purpose (again when the script
# changes), not on every build. deps alone: the test set, the largest.
deps: deps-test
deps-demo deps-test deps-package: deps-%: $(BUILD)/.deps-%
$(BUILD)/.deps-%: scripts/install-deps
	scripts/install-deps $*
	mkdir -p $(BUILD) && touch $@

# configure DIR FLAGS: quiet when it works, the whole output when it does not.
configure = mkdir -p $(1) && cmake -S . -B $(1) -G Ninja $(2) $(CMAKE_FLAGS) >$(1)/configure.log 2>&1 \
  || { cat $(1)/configure.log; exit 1; }

# The defaults, named: the demo configures the same tree its own way.
FULL_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=ON
build: deps
	@$(call configure,$(BUILD),$(FULL_FLAGS))
	cmake --build $(BUILD) -j $(JOBS)

# Root is checked first, so a user without it is told at once how to run it.
# Only the three programs the demo runs are built, at -O1 and without debug
# information: header parsing dominates, and this brings a fresh clone's first
# `make demo` (build and run) to about 90 s on two cores. `make build` and
# `make test` configure the tree back to the full build.
DEMO_TARGETS = updater updater-lab birdpack
DEMO_FLAGS = -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-O1 -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DUPDATER_TESTS=OFF
demo:
	@scripts/demo --check
	$(MAKE) --no-print-directory deps-demo
	@$(call configure,$(BUILD),$(DEMO_FLAGS))
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	scripts/demo

test: deps
	$(MAKE) --no-print-directory test-plain test-asan test-tsan test-fuzz

# CI builds with warnings as errors.
test-plain:
	@$(call configure,$(BUILD),$(FULL_FLAGS) -DUPDATER_WERROR=ON)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300; status=$$?; \
	  ../scripts/test-summary .; exit $$status

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@$(call configure,$(ASAN_BUILD),-DSANITIZE=address$(comma)undefined -DUPDATER_WERROR=ON)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600; status=$$?; ../scripts/test-summary .; exit $$status

# Every suite that runs link threads (core, object layer, update library) under ThreadSanitizer.
# One test at a time: TSan slows the link threads many times over, and two such tests
# side by side on two cores were seen to starve a frame past the link's 1 s reply time-out.
TSAN_SUITES = test_linklib_core test_linklib_classes test_UpdaterLib
test-tsan:
	@$(call configure,$(TSAN_BUILD),-DSANITIZE=thread -DUPDATER_WERROR=ON)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_SUITES)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j 1 --timeout 600 -L '$(subst $(eval) ,|,$(TSAN_SUITES))'; status=$$?; \
	  ../scripts/test-summary .; exit $$status

# The parsers of outside input under libFuzzer (clang, ASan and UBSan).
fuzz-build:
	@$(call configure,$(FUZZ_BUILD),-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON \
	  -DUPDATER_TESTS=OFF -DSANITIZE=address$(comma)undefined)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

test-fuzz: fuzz-build
	scripts/fuzz $(FUZZ_BUILD) -runs=$(FUZZ_RUNS)

fuzz: deps
	$(MAKE) --no-print-directory fuzz-build
	scripts/fuzz $(FUZZ_BUILD) -max_total_time=$(FUZZ_SECONDS)

# The Debian package, built from debian/ by dpkg-buildpackage in a copy of the
# tree and checked by lintian: build-package/kovalink-updater_*.deb.
package: deps-package
	scripts/build-package $(PACKAGE_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
