# Short names for the usual commands; the real work is in CMakePresets.json.
PRESET ?= release
CTEST_ARGS ?=

.PHONY: all build test quick-test asan tsan bench install clean

all: build

build:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

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

install: build
	cmake --install build/$(PRESET) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf build
