# SPDX-License-Identifier: GPL-3.0-or-later
# Thin wrapper: installs what a fresh Debian 12 machine lacks, then drives CMake and CTest.
BUILD      := build
ASAN_BUILD := build-asan
JOBS       ?= $(shell nproc)

PREFIX     ?= /usr/local

# The package lists and the choice of a test sound server live in tools/deps.sh, where a test
# checks them against simulated machines.
DEPS := sh tools/deps.sh
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DBITONER_WARNINGS_AS_ERRORS=ON
endif

.PHONY: all deps deps-package deps-test build run test unit-asan bench install package format clean

all: build

# What building and running need: the PulseAudio client library, never a sound server.
deps:
	@$(DEPS) install run

deps-package:
	@$(DEPS) install package

# The test tools, and a private test sound server only where installing it replaces nothing.
deps-test:
	@$(DEPS) install test

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd "$(CURDIR)" && ./$(BUILD)/bitoner

unit-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DBITONER_SANITIZE=ON -DBITONER_UNIT_ONLY=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target unit_tests
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest -L unit --output-on-failure -j $(JOBS)

test: deps-test build unit-asan
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	./$(BUILD)/bench/bitoner_bench

# DESTDIR is honoured as usual: make install PREFIX=/usr DESTDIR=/tmp/stage
install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package in $(BUILD), checked by lintian.
package: deps-package build
	cd $(BUILD) && cpack -G DEB
	lintian --info $(BUILD)/bitoner_*.deb

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
