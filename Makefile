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
#               trace setting, the image check, the collection core)
#   make bench  installs Google Benchmark, absl and matplotlib, builds the
#               benchmarks and the agent (Release), times the agent's warm
#               restart of a whole chip (bench/agent-restart.json), runs the
#               benchmarks and writes bench/results.md, bench/results.png and
#               bench/results.json
#   make bench-agent  only the agent's warm restart of a whole chip
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 12
FUZZ_TARGETS := entry config entry-file trace image core
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DIFA_WERROR=ON
BENCH_BUILD ?= build-bench
BENCH_REPETITIONS ?= 5
BENCH_DEPS := libbenchmark-dev libabsl-dev python3 python3-matplotlib
PYTHON ?= /usr/bin/python3
TEST_DEPS := libgtest-dev libgmock-dev pkg-config
FUZZ_DEPS := clang libclang-rt-14-dev

.PHONY: run test fuzz deps test-deps configure build build-asan test-plain test-asan test-tsan \
  bench bench-configure bench-agent clean format

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
	  case $$target in trace|image|core) dict=$$target.dict;; *) dict=tables.dict;; esac; \
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

bench: bench-agent
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target ifa-bench
	$(BENCH_BUILD)/bench/ifa-bench --benchmark_repetitions=$(BENCH_REPETITIONS) \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=bench/results.json --benchmark_out_format=json
	$(PYTHON) bench/report.py bench/results.json bench/results.md bench/results.png

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
