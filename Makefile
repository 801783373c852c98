# Front door: make demo builds the sample installer and runs it; make test runs every test.
BUILD := build
HOST := $(BUILD)/host
WIN := $(BUILD)/win
JOBS := $(shell nproc)
FUZZ_SECONDS ?= 600
FUZZ_BRIEF_SECONDS ?= 2
PREFIX ?= /usr/local

.PHONY: all deps host win test unit e2e fuzz fuzz-brief demo bench install clean

all: win host

deps:
	@bash scripts/install-deps.sh

host: deps
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(HOST) -j $(JOBS)

win: deps host
	@cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel -DHOST_BUILD=$(abspath $(HOST)) >/dev/null
	@cmake --build $(WIN) -j $(JOBS)

unit: host win
	@ctest --test-dir $(HOST) --output-on-failure -j $(JOBS)

e2e: win host
	@ctest --test-dir $(WIN) --output-on-failure
	@bash -c 'source scripts/wine-display.sh && { runs_32bit_programs || echo "e2e: $$wine_no_32bit: the Wine groups ran in a virtual machine (scripts/wine-vm.sh)"; }'

# Fuzzers: FUZZ_SECONDS each with make fuzz; a few seconds each, fixed seed, within make test.
fuzz: deps
	@bash fuzz/run.sh all $(FUZZ_SECONDS)

fuzz-brief: deps
	@bash fuzz/run.sh --brief all $(FUZZ_BRIEF_SECONDS)

test: unit e2e fuzz-brief

demo: win host
	@bash scripts/demo.sh

# Figures, not tests: install, packaging and footprint against a reference writer and NSIS.
bench: win host
	@bash scripts/install-deps.sh --bench
	@bash bench/run.sh

# A vendor's install: setup-pack in $(PREFIX)/bin, the stub it packs into in $(PREFIX)/share/setup-pack.
install: win host
	@cmake --install $(HOST) --prefix $(PREFIX) --strip

clean:
	rm -rf $(BUILD)
