# Front door: `make run` builds and runs the default example, `make test`
# builds and runs every test.
BUILD      ?= build
EXAMPLE    ?= examples/default
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@cd $(EXAMPLE) && ../../$(BUILD)/vdsim; status=$$?; \
	if [ $$status -ne 0 ]; then echo "vdsim exited with status $$status"; exit $$status; fi; \
	echo "Wrote $(EXAMPLE)/Data/Output.csv ($$(($$(wc -l < Data/Output.csv) - 1)) rows)"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/vdsim_bench

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
