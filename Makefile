# Convenience front end; CMake does the real work.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build programs test run asan tsan bench fuzz package clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the programs and the library, with their man pages.
programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target programs

# Sets up and passes all tests.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# Sets up and opens the setup tool's window against the virtual printer when a
# display is there (X11 or Wayland), else runs a console session against it.
run: programs
	@if { [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; } && \
	    [ -x $(BUILD)/bin/KP28Plus_Remote_Setup_Tool ]; then \
	  ./scripts/gui.sh $(BUILD); \
	else \
	  ./scripts/demo.sh $(BUILD); \
	fi

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKP28_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) --timeout 900

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKP28_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) --timeout 900 -L threaded

bench: build
	./scripts/bench.sh $(BUILD)

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	./scripts/install-deps.sh --fuzz
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# The Debian package (build-deb/kp28-tools_<version>_<arch>.deb), built for
# the prefix /usr without tests or benchmarks.
package: deps
	cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DKP28_BUILD_TESTS=OFF -DKP28_BUILD_BENCH=OFF
	cmake --build build-deb -j $(JOBS)
	cd build-deb && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-fuzz build-deb
