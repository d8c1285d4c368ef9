# The two everyday commands: `make run` and `make test`. Each installs what is missing first.
BUILD := build
JOBS := 2

.PHONY: all deps configure build run test bench

all: build

deps:
	@./scripts/deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@./scripts/run.sh $(BUILD)/quolvane

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@JOBS=$(JOBS) ./scripts/sanitizers.sh

bench: build
	@./scripts/bench.sh $(BUILD)
