# The two set-up commands are `make demo` and `make test`; both install what is
# missing (as root on Debian 12), build, and prepare the Wine test environment.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo fuzz bench env stop clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD)/build.ninja:
	cmake -G Ninja -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

env: build
	@tools/testenv/start.sh $(BUILD)

test: env
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300 --no-tests=error

demo: env
	@tools/demo.sh $(BUILD)

bench: env
	@tools/bench/run.sh $(BUILD)

# FUZZ_SECONDS per target (default 60); clang's libFuzzer comes from Debian.
fuzz:
	@command -v clang++-14 >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null; }
	@fuzz/run.sh $(FUZZ_SECONDS)

stop:
	@tools/testenv/stop.sh $(BUILD)

clean:
	-@[ -d $(BUILD) ] && tools/testenv/stop.sh $(BUILD)
	rm -rf $(BUILD)
