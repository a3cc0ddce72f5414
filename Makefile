# The two set-up commands of the README: `make run` and `make test`. Both install what is missing,
# configure and build; `make test` then generates the fixtures and runs every test through ctest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build run test fixtures bench asan clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS); fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/ZelvoPlayout

fixtures: deps
	tests/make-fixtures.sh $(BUILD)/fixtures

test: build fixtures
	scripts/test-env.sh ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 900

bench: build fixtures
	scripts/test-env.sh scripts/run-benchmarks.sh $(BUILD)

# The unit tests and self-tests under AddressSanitizer and UndefinedBehaviorSanitizer. Leak checking
# is off: the GUI, GStreamer, D-Bus and software OpenGL libraries keep allocations for the life of
# the process that the fast unwinder cannot attribute. Timing cases of the runners may fail here.
asan:
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON"

clean:
	rm -rf $(BUILD)
