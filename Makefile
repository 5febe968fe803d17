# The two set-up commands of the README:
#   make run    builds what the main job needs (the libraries, the simulated
#               chip plug-in, the agent) and runs it: ifa-agent demo
#   make test   builds everything and runs the test suite (with the check of
#               the installed package), the same suite under AddressSanitizer
#               and UndefinedBehaviorSanitizer, the thread tests under
#               ThreadSanitizer, then each fuzzer for 12 seconds
# Each installs the Debian packages it needs first (only those missing): the
# build tools; for the tests GoogleTest and pkg-config; for fuzzing clang and
# its sanitizer runtimes.
#
# Extras, not set-up commands:
#   make fuzz FUZZ_SECONDS=N  every fuzzer for N seconds (the configuration
#               reader, the entry text form, ifa-inspect's entry files, the
#               trace setting, the image check, saved plans, the collection core)
#   make bench  installs Google Benchmark, absl, boost's headers and
#               matplotlib, builds the benchmarks and the agent (Release),
#               times the agent's warm restart of a whole chip
#               (bench/agent-restart.json), runs the memory benchmarks once and
#               the paired rows BENCH_RUNS times (default 2) and writes
#               bench/results.md and bench/results.png; BENCH_FILTER=REGEX
#               runs only the paired rows it matches
#   make bench-agent  only the agent's warm restart of a whole chip
#   make bench-counts  instructions and last-level misses per operation under
#               callgrind (installs valgrind): bench/counts.json and the counts
#               section of bench/results.md
#   make deb    builds the Debian packages ifa-swtables and ifa-swtables-dev
#               (Release, stripped, installed under /usr) into $(DEB_BUILD)
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 12
FUZZ_TARGETS := entry config entry-file trace image plan core
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DIFA_WERROR=ON
BENCH_BUILD ?= build-bench
BENCH_RUNS ?= 2
BENCH_DEPS := libbenchmark-dev libabsl-dev libboost1.81-dev python3 python3-matplotlib
BENCH_COUNT_DEPS := valgrind
PYTHON ?= /usr/bin/python3
# dpkg-dev (dpkg-shlibdeps) and lintian for the package check, man-db and
# groff-base to render the man pages.
DEB_DEPS := dpkg-dev file
TEST_DEPS := libgtest-dev libgmock-dev pkg-config $(DEB_DEPS) lintian man-db groff-base
DEB_BUILD ?= build-deb
FUZZ_DEPS := clang libclang-rt-14-dev

.PHONY: run test fuzz deps test-deps configure build build-asan test-plain test-asan test-tsan \
  deb bench bench-configure bench-agent bench-counts clean format

deps:
	@scripts/ensure-deps.sh

test-deps:
	@scripts/ensure-deps.sh $(TEST_DEPS)

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The agent target brings the libraries and the chip plug-in with it.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target ifa-agent
	$(BUILD)/bin/ifa-agent demo

build: test-deps configure
	cmake --build $(BUILD) -j $(JOBS)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

build-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DIFA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Only the thread tests and what they link are built with ThreadSanitizer.
test-tsan: test-deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DIFA_TSAN=ON -DIFA_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target ifa-thread-tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/tests/ifa-thread-tests

test: test-plain test-asan test-tsan fuzz

# Every reader of outside bytes, FUZZ_SECONDS each, one after the other. New
# inputs go to $(FUZZ_BUILD)/corpus/<target>; the seeds in fuzz/corpus/<target>
# are only read. A finding stops the run, its input in $(FUZZ_BUILD)/findings.
fuzz:
	@scripts/ensure-deps.sh $(FUZZ_DEPS)
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIFA_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addsuffix -fuzzer,$(FUZZ_TARGETS))
	mkdir -p $(FUZZ_BUILD)/findings
	set -e; for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
	  case $$target in trace|image|plan|core) dict=$$target.dict;; *) dict=tables.dict;; esac; \
	  echo "== $$target-fuzzer, $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$target-fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -print_final_stats=1 -dict=fuzz/$$dict \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$target- \
	    $(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target; \
	done

# Release with -O2 (the optimisation level of the shipped RelWithDebInfo build).
bench-configure:
	@scripts/ensure-deps.sh $(BENCH_DEPS)
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release \
	  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DIFA_TESTS=OFF -DIFA_BENCH=ON

# The agent's warm restart of a whole corvane-sim-a chip (every index of every
# table): a cold apply, then a warm apply, whose phase times go to
# bench/agent-restart.json for bench/results.md. A few seconds.
bench-agent: bench-configure
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target ifa-agent ifa-sim-chip
	$(PYTHON) bench/agent-restart.py $(BENCH_BUILD)/bin/ifa-agent bench/agent-restart.json

# make bench-reload  the latency of ifa-agent run's reloads on a whole chip,
# one entry changed and every entry changed (bench/agent-reload.json)
.PHONY: bench-reload
bench-reload: bench-configure
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target ifa-agent ifa-sim-chip
	$(PYTHON) bench/agent-reload.py $(BENCH_BUILD)/bin/ifa-agent bench/agent-reload.json

bench: bench-agent
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target ifa-bench
	$(PYTHON) bench/run.py $(BENCH_BUILD)/bench/ifa-bench $(BENCH_BUILD) $(BENCH_RUNS) \
	  --agent bench/agent-restart.json $(if $(BENCH_FILTER),--filter '$(BENCH_FILTER)')

# Deterministic counts beside the timings; minutes, and not part of make bench.
bench-counts: bench-configure
	@scripts/ensure-deps.sh $(BENCH_COUNT_DEPS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target ifa-bench
	$(PYTHON) bench/counts.py $(BENCH_BUILD)/bench/ifa-bench bench/counts.json bench/results.md

# Release packages, for a Debian system: installed under /usr, the libraries
# in the multiarch directory; -O2, the optimisation level of the tested
# RelWithDebInfo build.
deb:
	@scripts/ensure-deps.sh $(DEB_DEPS)
	cmake -S . -B $(DEB_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DIFA_TESTS=OFF -DIFA_BENCH=OFF
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cpack -G DEB --config $(DEB_BUILD)/CPackConfig.cmake -B $(DEB_BUILD)/packages
	@ls $(DEB_BUILD)/packages/*.deb

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(DEB_BUILD)
