# Front door: make demo builds the sample installer and runs it; make test runs every test.
BUILD := build
HOST := $(BUILD)/host
WIN := $(BUILD)/win
JOBS := $(shell nproc)

.PHONY: all deps host win test unit e2e demo clean

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

test: unit e2e

demo: win host
	@bash scripts/demo.sh

clean:
	rm -rf $(BUILD)
