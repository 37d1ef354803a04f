# The two commands of the README: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build run test bench format clean

all: build

setup:
	@tools/setup-debian.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

run: build
	@tools/run.sh $(BUILD)

test: setup
	@tools/test-all.sh

bench: build
	@tools/bench-all.sh $(BUILD)

format: build
	@cmake --build $(BUILD) --target format

clean:
	rm -rf build build-asan build-tsan build-fuzz
