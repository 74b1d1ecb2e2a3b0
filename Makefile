# The two commands a newcomer needs: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
# Tests and benchmarks run without the right to set the clock: no test can ever move the
# host's clock, whatever a service under test tries.
NO_CLOCK := $(shell [ "$$(id -u)" = 0 ] && command -v setpriv >/dev/null && echo setpriv --bounding-set=-sys_time --inh-caps=-sys_time --)

.PHONY: all deps build test test-asan test-tsan demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && $(NO_CLOCK) ctest --output-on-failure -j $(JOBS)

# Sanitizer runs of the whole suite.
test-asan: deps
	cmake --preset asan >/dev/null && cmake --build --preset asan -j $(JOBS) && $(NO_CLOCK) ctest --preset asan -j $(JOBS)

test-tsan: deps
	cmake --preset tsan >/dev/null && cmake --build --preset tsan -j $(JOBS) && $(NO_CLOCK) ctest --preset tsan -j $(JOBS)

demo: build
	@/usr/bin/python3 sim/demo.py --build-dir $(BUILD_DIR)

bench: build
	@for b in bench/*/run; do echo "== $$b"; $(NO_CLOCK) bash $$b $(BUILD_DIR) || exit 1; done

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan
