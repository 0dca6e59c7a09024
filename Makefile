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

# The whole suite on PulseAudio, then the tests that talk to a sound server (the audio and
# end-to-end labels) once more on PipeWire.
test: build
	bash scripts/run-tests.sh $(BUILD)
	QUORVEL_TEST_SERVER=pipewire bash scripts/run-tests.sh $(BUILD) -L 'audio|e2e'

demo: build
	bash scripts/demo.sh $(BUILD)

bench: setup
	bash scripts/bench.sh $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench
