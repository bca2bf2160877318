# Short names for the usual commands; the real work is in CMakePresets.json.
PRESET ?= release
CTEST_ARGS ?=

.PHONY: all build demo test quick-test asan tsan bench install clean

all: build

build:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

# The main job: sorts the standard workload W1 (10 million rows, 800 MB)
# generated on the fly, checks every row and reports. DEMO_ARGS passes
# options, e.g. make demo DEMO_ARGS="--workload W2 --threads 4".
demo: build
	build/$(PRESET)/apps/isort demo $(DEMO_ARGS)

# Every test, slow ones included.
test: build
	ctest --preset $(PRESET) $(CTEST_ARGS)

# Skips the tests labelled slow.
quick-test: build
	ctest --preset $(PRESET) -LE slow $(CTEST_ARGS)

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

# End-to-end benchmarks against std::stable_sort, GNU sort and Miller; writes
# bench/results/latest.md and latest.png. BENCH_LARGE=1 adds W4.
bench: build
	scripts/bench-report build/$(PRESET)

install: build
	cmake --install build/$(PRESET) --prefix "$(or $(PREFIX),/usr/local)"

clean:
	rm -rf build
