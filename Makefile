# Thin front over the CMake presets. Every target installs what it needs first.
PRESET ?= debug
JOBS ?= $(shell nproc)

.PHONY: setup build sdk test test-asan test-tsan test-i386 ci clean format bench run fuzz

setup:
	@bash scripts/setup.sh

build: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)

# The SDK alone, built and installed into PREFIX: the libraries, the module and the programs,
# without the tests and the benchmarks (the sdk preset), e.g. make sdk PREFIX=$$HOME/pyr.
PREFIX ?= /usr/local
sdk: setup
	cmake --preset sdk
	cmake --build --preset sdk -j $(JOBS)
	cmake --install build/sdk --prefix $(PREFIX) --component sdk

# The test command: installs, configures, builds and runs every test.
test: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)
	ctest --preset $(PRESET)

test-asan:
	$(MAKE) test PRESET=asan-ubsan

test-tsan:
	$(MAKE) test PRESET=tsan

# The 32-bit x86 build, like the client process the module runs in: installs the i386
# multiarch packages (scripts/setup-i386.sh), then builds everything and runs every test.
test-i386:
	@bash scripts/setup-i386.sh
	cmake --preset linux-i386
	cmake --build --preset linux-i386 -j $(JOBS)
	ctest --preset linux-i386

ci: test test-asan test-tsan test-i386

# The benchmarks: built with the release preset, every program run with repetitions, the JSON
# merged into build/release/bench/results.json and each figure printed beside its baselines.
bench: setup
	cmake --preset release
	cmake --build --preset release --target benchmarks -j $(JOBS)
	python3 scripts/bench.py build/release

# The live minimap: builds minimap-client (with the module it loads) and runs it against the
# simulator it embeds, playing the default scenario. Options go in ARGS, for example
# make run ARGS='--duration-ms 5000' or make run ARGS='--server 127.0.0.1:7450'.
ARGS ?=
run: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS) --target minimap-client minimap-server
	@case " $(ARGS) " in *" --web"*) ;; *) echo "make run: ARGS=--web shows the map in a browser too (http://127.0.0.1:8765/ by default)";; esac
	./build/$(PRESET)/bin/minimap-client $(ARGS)

# The fuzzers: the fuzz preset (clang, libFuzzer, ASan + UBSan) built, then every target run for
# FUZZ_SECONDS seconds; prints runs, coverage and crashes per target (fuzz/run_fuzzers.sh).
# CI runs the targets' replay programs through ctest instead.
FUZZ_SECONDS ?= 60
fuzz: setup
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_BUILD_DIR=build/fuzz bash fuzz/run_fuzzers.sh

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
