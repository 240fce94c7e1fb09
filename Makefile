# SPDX-License-Identifier: GPL-3.0-or-later
# Thin wrapper: installs what a fresh Debian 12 machine lacks, then drives CMake and CTest.
BUILD      := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
FUZZ_COV_BUILD := build-fuzz-cov
FUZZ_TARGETS := fuzz_parameters fuzz_tone_plan fuzz_utf8 fuzz_wav_reader fuzz_sigmf_meta fuzz_raw_reader \
                fuzz_decoder
FUZZ_SECONDS ?= 300
FUZZ_SMOKE_SECONDS ?= 10
JOBS       ?= $(shell nproc)

PREFIX     ?= /usr/local

# The package lists and the choice of a test sound server live in tools/deps.sh, where a test
# checks them against simulated machines.
DEPS := sh tools/deps.sh
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DBITONER_WARNINGS_AS_ERRORS=ON
endif

.PHONY: all deps deps-package deps-test build build-tests run test unit-asan bench install package format clean \
        fuzz fuzz-build fuzz-smoke fuzz-coverage soak

all: build

# What building and running need: the PulseAudio client library, never a sound server.
deps:
	@$(DEPS) install run

deps-package:
	@$(DEPS) install package

# The test tools, and a private test sound server only where installing it replaces nothing.
deps-test:
	@$(DEPS) install test

# Building and running look for no test tool. A build directory that `make test` or `make bench`
# configured keeps its tests (Ninja re-runs CMake itself when a CMakeLists.txt changes).
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DBITONER_TESTS=OFF

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The same build directory with the tests and benchmarks configured.
build-tests: deps-test
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DBITONER_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd "$(CURDIR)" && ./$(BUILD)/bitoner

unit-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DBITONER_SANITIZE=ON -DBITONER_UNIT_ONLY=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target unit_tests
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest -L unit --output-on-failure -j $(JOBS)

test: build-tests unit-asan fuzz-smoke
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

# The fuzz targets need clang, so they have a build of their own. New inputs go to the build's
# corpus; the seeds in tests/fuzz/corpus are only read.
fuzz-build: deps-test
	CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_BUILD) -G Ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Runs every target in turn: FUZZ_SECONDS each with `make fuzz`, FUZZ_SMOKE_SECONDS in `make test`.
# The smoke run starts from a fixed seed, so that CI goes the same way every time; `make fuzz`
# explores afresh. An input that takes seconds is a fault like a crash: every input is small.
fuzz fuzz-smoke: fuzz-build
	@seconds=$(if $(filter fuzz,$@),$(FUZZ_SECONDS),$(FUZZ_SMOKE_SECONDS)); \
	seed=$(if $(filter fuzz,$@),,-seed=1); \
	for target in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/crashes && \
	    echo "== $$target, $$seconds s" && \
	    ./$(FUZZ_BUILD)/$$target -max_total_time=$$seconds -timeout=10 -print_final_stats=1 $$seed \
	        -artifact_prefix=$(FUZZ_BUILD)/crashes/ \
	        $(FUZZ_BUILD)/corpus/$$target tests/fuzz/corpus/$$target >$(FUZZ_BUILD)/$$target.log 2>&1; \
	    status=$$?; \
	    grep -E '^stat::(number_of_executed|new_units)|DONE' $(FUZZ_BUILD)/$$target.log; \
	    if [ $$status != 0 ]; then tail -n 40 $(FUZZ_BUILD)/$$target.log; exit 1; fi; \
	done

# Line and function coverage of the engine, the readers of recordings and the decoder reached by
# the corpus the fuzz runs collected.
fuzz-coverage: deps-test
	CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_COV_BUILD) -G Ninja -DBITONER_FUZZ_COVERAGE=ON
	cmake --build $(FUZZ_COV_BUILD) -j $(JOBS)
	@for target in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$target && \
	    LLVM_PROFILE_FILE=$(FUZZ_COV_BUILD)/$$target.profraw ./$(FUZZ_COV_BUILD)/$$target -runs=0 \
	        $(FUZZ_BUILD)/corpus/$$target tests/fuzz/corpus/$$target >/dev/null 2>&1 || exit 1; \
	done
	llvm-profdata-14 merge -o $(FUZZ_COV_BUILD)/all.profdata $(FUZZ_COV_BUILD)/*.profraw
	llvm-cov-14 report $(FUZZ_COV_BUILD)/$(firstword $(FUZZ_TARGETS)) \
	    $(foreach t,$(wordlist 2,9,$(FUZZ_TARGETS)),-object $(FUZZ_COV_BUILD)/$(t)) \
	    -instr-profile=$(FUZZ_COV_BUILD)/all.profdata -show-functions \
	    $(addprefix $(CURDIR)/src/engine/,parameters.cpp tones.cpp wav_writer.cpp keying_steps.cpp) \
	    $(CURDIR)/src/recording/recording_reader.cpp \
	    $(wildcard $(CURDIR)/src/decode/*.cpp)

bench: build-tests
	./$(BUILD)/bench/bitoner_bench
	./$(BUILD)/bench/bitoner_bench_grab
	./$(BUILD)/bench/bitoner_bench_footprint
	./$(BUILD)/bench/bitoner_splatter docs/splatter.png
	./$(BUILD)/bench/bitoner_mode_pictures docs/modes.png
	./$(BUILD)/bench/bitoner_bench_modes --table $(BUILD)/modes-cer.dat
	gnuplot -e "data='$(BUILD)/modes-cer.dat'; output='docs/modes-cer.png'" bench/modes_cer.gp
	./$(BUILD)/bench/bitoner_bench_decode --passes 10 --noise-hours 1 --table $(BUILD)/decode-cer.dat
	gnuplot -e "data='$(BUILD)/decode-cer.dat'; output='docs/decode-cer.png'" bench/decode_cer.gp
	./$(BUILD)/bench/bitoner_bench_decode --modes --messages 10 --passes 5 --noise-hours 1
	./$(BUILD)/bench/bitoner_soak --minutes 10

# An hour of beacon at a 20 ms symbol with decode --live on a private sound server (not in CI):
# silences, passes, memory, CPU and characters decoded. SOAK_MINUTES sets another length.
SOAK_MINUTES ?= 60
soak: build-tests
	./$(BUILD)/bench/bitoner_soak --minutes $(SOAK_MINUTES)

# DESTDIR is honoured as usual: make install PREFIX=/usr DESTDIR=/tmp/stage
install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian packages in $(BUILD) (bitoner-cli and bitoner), checked by lintian.
package: deps-package build
	cd $(BUILD) && cpack -G DEB
	lintian --info $(BUILD)/bitoner_*.deb $(BUILD)/bitoner-cli_*.deb

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(FUZZ_COV_BUILD)
