# Front door: `make run` builds the simulator alone (CMake and a compiler are
# all it needs) and runs the default example, `make plot` draws its dashboard,
# `make test` builds and runs every test, `make bench` the benchmarks; `make
# test-sanitize` runs the tests under sanitizers, `make fuzz` fuzzes the
# readers.
BUILD      ?= build
EXAMPLE    ?= examples/default
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run plot test bench clean
.PHONY: test-sanitize fuzz

all: build

# The first configure builds the simulator only; `make test` and `make bench`
# turn on what they need (BUILD_TESTING, VDSIM_BENCHMARKS) in the same build.
$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

# enable OPTION: reconfigures $(BUILD) with OPTION on unless it already is.
enable = grep -q '^$(1):BOOL=ON' $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -D$(1)=ON

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vdsim
	@$(BUILD)/vdsim --extended $(EXAMPLE); status=$$?; \
	if [ $$status -ne 0 ]; then echo "vdsim exited with status $$status"; exit $$status; fi; \
	echo "Wrote $(EXAMPLE)/Data/Output.csv ($$(($$(wc -l < $(EXAMPLE)/Data/Output.csv) - 1)) rows), Extended.csv and Run.json"

plot:
	@if [ ! -f $(EXAMPLE)/Data/Output.csv ]; then \
	  echo "No $(EXAMPLE)/Data/Output.csv yet: run make run first" >&2; exit 1; fi
	@tools/vdsim-plot $(EXAMPLE) -o $(EXAMPLE)/Data/Output.png

# A 9-run parameter sweep of the constant-radius example through GNU parallel
# (front ride frequency x rear anti-roll rate): prints the summary table,
# writes $(BUILD)/sweep-example/summary.csv and draws the understeer gradient
# against the ride frequency, one line per anti-roll rate.
.PHONY: sweep-example
sweep-example: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vdsim
	tools/vdsim-sweep examples/skidpad examples/sweeps/skidpad-ride-arb.csv \
	  -o $(BUILD)/sweep-example --vdsim $(BUILD)/vdsim --plot understeer_gradient_deg_per_g

# `make test` leaves out the few tests labelled slow (over 20 s each);
# `make test-slow` runs them, as CI does.
test: $(BUILD)/CMakeCache.txt
	@$(call enable,BUILD_TESTING)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

.PHONY: test-slow
test-slow: $(BUILD)/CMakeCache.txt
	@$(call enable,BUILD_TESTING)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L slow --no-tests=ignore

bench: $(BUILD)/CMakeCache.txt
	@$(call enable,VDSIM_BENCHMARKS)
	cmake --build $(BUILD) -j $(JOBS) --target vdsim_bench
	$(BUILD)/bench/vdsim_bench

# Sanitizer build: the whole test suite with address, leak and
# undefined-behaviour checks (any report fails the test that caused it). The
# Python tool tests and the README commands are left out: they exercise no
# C++ code of their own. Built with clang at -O1 with line tables only where
# clang is installed (it builds and runs this suite in half g++'s time at
# -O2 -g), with the default compiler otherwise.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_CXX   ?= $(shell command -v clang++ >/dev/null 2>&1 && echo clang++ || echo c++)
$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_CXX_COMPILER=$(SANITIZE_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
	  -DVDSIM_SANITIZE=ON -DBUILD_TESTING=ON

test-sanitize: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VDSIM_TEST_TIME_SCALE=10 \
	  ctest --output-on-failure -j $(JOBS) -E '^(tools|docs)_' -LE slow

# Fuzzing of the file readers with libFuzzer (clang++): the targets run at
# once, each for FUZZ_SECONDS. New corpus entries, logs and crash inputs go to
# $(FUZZ_BUILD) only; the seeds in tests/fuzz/corpus/ are read, never written.
# A crash, leak, sanitizer report, timeout or memory blow-up fails with the
# input's path.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS  = event_file car_file tire_file
$(FUZZ_BUILD)/CMakeCache.txt:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang++ with libFuzzer," \
	  "which is not installed (Debian: apt-get install clang libclang-rt-dev)" >&2; exit 1; }
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DVDSIM_FUZZ=ON -DBUILD_TESTING=OFF

fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@pids=; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts/$$t; \
	  log=$(FUZZ_BUILD)/fuzz_$$t.log; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s (log $$log)"; \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -rss_limit_mb=2048 -dict=tests/fuzz/$$t.dict \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t/ \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t >$$log 2>&1 & \
	  pids="$$pids $$!"; \
	done; \
	failed=0; set -- $$pids; \
	for t in $(FUZZ_TARGETS); do \
	  wait $$1; status=$$?; shift; \
	  log=$(FUZZ_BUILD)/fuzz_$$t.log; \
	  if [ $$status -ne 0 ]; then \
	    tail -n 60 $$log; \
	    echo "fuzz_$$t FAILED (status $$status); input kept in $(FUZZ_BUILD)/artifacts/$$t/"; \
	    failed=1; \
	  else \
	    echo "fuzz_$$t: $$(grep -h '^Done' $$log)"; \
	  fi; \
	done; \
	exit $$failed

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz build-flags
