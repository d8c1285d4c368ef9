# The two everyday commands: `make run` and `make test`. Each installs what is missing first.
# Every tree is configured, built and tested by a preset of CMakePresets.json; `release` is the
# everyday one, in $(BUILD).
BUILD := build
JOBS ?= 2
FUZZ_SECONDS ?= 300

.PHONY: all deps configure build run test test-arm64 package bench fuzz soak valgrind web web-serve \
	test-web

all: build

deps:
	@./scripts/deps.sh

configure: deps
	@cmake --preset release >/dev/null

build: configure
	@cmake --build --preset release -j$(JOBS)

run: build
	@./scripts/run.sh $(BUILD)/quolvane

test: build
	@ctest --preset release -j$(JOBS)
	@./scripts/e2e-classic-sdl.sh $(BUILD) $(JOBS)
	@JOBS=$(JOBS) ./scripts/sanitizers.sh
	@./scripts/fuzz.sh 60
	@./scripts/valgrind.sh

# The Debian package, $(BUILD)/quolvane_<version>_<arch>.deb; `make test` builds and checks it too.
package: build
	@cmake --build $(BUILD) --target package

# The tests on 64-bit ARM: cross-built into build-arm64/ and run under qemu (installs what it
# needs: the cross compiler, qemu and the arm64 libraries).
test-arm64:
	@JOBS=$(JOBS) ./scripts/test-arm64.sh

# The page for browsers in build-web/ (and zipped there for any static host): the same program
# compiled to WebAssembly with emscripten (installed first if missing), and a server for it on
# 127.0.0.1 with the headers that let the page run threads.
web:
	@JOBS=$(JOBS) ./scripts/web.sh

web-serve: web
	@python3 web/serve.py build-web

# The page's tests: the world and engine under node, serve.py, and the page in headless Chromium
# and Firefox (installs what it needs: emscripten, nodejs, chromium, firefox-esr, and
# playwright-core and puppeteer-core from tests/web's lock file).
test-web:
	@JOBS=$(JOBS) ./scripts/test-web.sh

bench: build
	@./scripts/bench.sh $(BUILD)

# The world against the tests' model under libFuzzer, ASan and UBSan, for FUZZ_SECONDS.
fuzz: deps
	@./scripts/fuzz.sh $(FUZZ_SECONDS)

# Two minutes of random play with many restarts; the short version is in `make test`.
soak: build
	@bash tests/e2e/soak.sh $(BUILD)/quolvane 120

# Memcheck over the unit tests and one session of the program (also part of `make test`).
valgrind: deps
	@./scripts/valgrind.sh
