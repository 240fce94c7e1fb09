# SPDX-License-Identifier: GPL-3.0-or-later
# Thin wrapper: installs what a fresh Debian 12 machine lacks, then drives CMake and CTest.
BUILD      := build
ASAN_BUILD := build-asan
JOBS       ?= $(shell nproc)

PACKAGES := g++ cmake ninja-build pkg-config qt6-base-dev libpulse-dev libsndfile1-dev \
            libgtest-dev libbenchmark-dev pulseaudio pulseaudio-utils fonts-liberation clang-format \
            xvfb libxcb1-dev libxcb-xtest0-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DBITONER_WARNINGS_AS_ERRORS=ON
endif

.PHONY: all deps build run test unit-asan bench format clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing:" $$missing; \
	    $(SUDO) apt-get update && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd "$(CURDIR)" && ./$(BUILD)/bitoner

unit-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DBITONER_SANITIZE=ON -DBITONER_UNIT_ONLY=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target unit_tests
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest -L unit --output-on-failure -j $(JOBS)

test: build unit-asan
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	./$(BUILD)/bitoner_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
