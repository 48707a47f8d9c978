# Thin front over the CMake presets. Every target installs what it needs first.
PRESET ?= debug
JOBS ?= $(shell nproc)

.PHONY: setup build test test-asan test-tsan ci clean format

setup:
	@bash scripts/setup.sh

build: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)

# The test command: installs, configures, builds and runs every test.
test: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)
	ctest --preset $(PRESET)

test-asan:
	$(MAKE) test PRESET=asan-ubsan

test-tsan:
	$(MAKE) test PRESET=tsan

ci: test test-asan test-tsan

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
