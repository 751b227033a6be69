# Convenience front end; CMake does the real work, configured through the
# presets in CMakePresets.json (default, release, asan, tsan, fuzz, package).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build programs test run asan tsan bench fuzz package clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake --preset default -B $(BUILD)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the programs and the library, with their man pages.
programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target programs

# Sets up and passes all tests.
test: build
	ctest --preset default --test-dir $(BUILD) -j $(JOBS)

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
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

bench: build
	./scripts/bench.sh $(BUILD)

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	./scripts/install-deps.sh --fuzz
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# The Debian packages in build-deb/ (libkp28wrap1, libkp28wrap-dev,
# kp28-tools, kp28-setup-tool: NAME_<version>_<arch>.deb), built for the
# prefix /usr without tests or benchmarks. CPack needs file and dpkg-dev.
package:
	./scripts/install-deps.sh --package
	cmake --preset package
	cmake --build --preset package -j $(JOBS)
	cd build-deb && cpack -G DEB

clean:
	rm -rf build build-release build-asan build-tsan build-fuzz build-deb
