# Two commands do everything on a fresh Debian 12 machine: `make demo` and `make test`.
# Each installs what is missing first (scripts/setup.sh), then configures and builds.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

.PHONY: setup configure build test demo bench clean

setup:
	@bash scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja") \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD)

test: build
	bash scripts/run-tests.sh $(BUILD)

demo: build
	bash scripts/demo.sh $(BUILD)

bench: setup
	bash scripts/bench.sh $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench
