# The two commands of the README: `make run` and `make test`. Both install what is missing first.
# `make package` leaves the Debian package kestrune_<version>_<arch>.deb in this folder.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build run test package bench format clean

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

package: build
	@rm -f kestrune_*.deb
	@cd $(BUILD) && cpack -D CPACK_OUTPUT_FILE_PREFIX=$(CURDIR)

bench: build
	@tools/bench-all.sh $(BUILD)

format: build
	@cmake --build $(BUILD) --target format

clean:
	rm -rf build build-asan build-tsan build-fuzz kestrune_*.deb
