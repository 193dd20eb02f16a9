# Front door: `make run` builds and runs the default example, `make plot`
# draws its dashboard, `make test` builds and runs every test.
BUILD      ?= build
EXAMPLE    ?= examples/default
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run plot test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@cd $(EXAMPLE) && ../../$(BUILD)/vdsim; status=$$?; \
	if [ $$status -ne 0 ]; then echo "vdsim exited with status $$status"; exit $$status; fi; \
	echo "Wrote $(EXAMPLE)/Data/Output.csv ($$(($$(wc -l < Data/Output.csv) - 1)) rows)"

plot:
	@if [ ! -f $(EXAMPLE)/Data/Output.csv ]; then \
	  echo "No $(EXAMPLE)/Data/Output.csv yet: run make run first" >&2; exit 1; fi
	@tools/vdsim-plot $(EXAMPLE) -o $(EXAMPLE)/Data/Output.png

# A 9-run parameter sweep of the constant-radius example through GNU parallel
# (front ride frequency x rear anti-roll rate): prints the summary table and
# writes $(BUILD)/sweep-example/summary.csv.
.PHONY: sweep-example
sweep-example: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vdsim
	tools/vdsim-sweep examples/skidpad examples/sweeps/skidpad-ride-arb.csv \
	  -o $(BUILD)/sweep-example --vdsim $(BUILD)/vdsim

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/vdsim_bench

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
