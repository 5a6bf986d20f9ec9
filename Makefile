# Every command runs through tools/env.sh, which provides Python 3.14 (and its
# debug build) on a machine that lacks it.

ENV      := tools/env.sh
PYTHON   := python3.14
PYTHON_D := python3.14d
RELEASE  := $(CURDIR)/build/release
DEBUG    := $(CURDIR)/build/debug
WHEEL    := $(CURDIR)/build/wheel
HOST     := $(CURDIR)/host
VENV     := $(CURDIR)/build/venv

.PHONY: all build release debug demo test check leaks typecheck wheel installed clean

all: build

build: release debug

# $(call cmake_build,BUILD_DIR,INTERPRETER,BUILD_TYPE); the interpreter is
# resolved inside the environment, where it lives.
define cmake_build
	$(ENV) sh -ec 'cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=$(3) \
	    -DPython_EXECUTABLE="$$(command -v $(2))"; cmake --build $(1)'
endef

release:
	$(call cmake_build,$(RELEASE),$(PYTHON),Release)

# Debug interpreter, Py_DEBUG ABI: for the reference-leak checks.
debug:
	$(call cmake_build,$(DEBUG),$(PYTHON_D),Debug)

demo: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) $(PYTHON) examples/demo.py

test: build check leaks typecheck wheel installed

check: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) $(PYTHON) -m pytest -q tests

# The whole suite on the debug interpreter: its reference-leak checks
# (tests/leaks, collected only there) and every other test under Py_DEBUG's
# assertions.
leaks: debug
	$(ENV) env PYTHONPATH=$(DEBUG):$(HOST) $(PYTHON_D) -m pytest -q -p no:cacheprovider tests

# The stubs against the built modules, then a typed user of them. The host
# stand-ins are on both paths: the dicts stub re-exports two host names.
typecheck: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) MYPYPATH=$(RELEASE):$(HOST) \
	    MYPY_CACHE_DIR=$(CURDIR)/build/mypy-cache sh -ec '\
	    $(PYTHON) -m mypy.stubtest tavik.utils.dicts tavik.utils.parser; \
	    $(PYTHON) -m mypy --strict examples/typed_usage.py'

wheel:
	rm -rf $(WHEEL)
	$(ENV) $(PYTHON) -m pip wheel --no-build-isolation --no-deps \
	    --disable-pip-version-check -w $(WHEEL) .
	$(ENV) $(PYTHON) tools/check_wheel.py $(WHEEL) $(HOST)

# The wheel as pip installs it, in a fresh venv, running the examples (the
# demo is compared with its run against the release build).
installed: release wheel
	$(ENV) $(PYTHON) tools/check_installed.py $(WHEEL) $(RELEASE) $(HOST) $(VENV)

# aarch64, the target: cross-compiled in an x86_64 root, tested in an arm64
# root under qemu-user (tools/env.sh makes both). The reference-leak checks
# stay on x86_64.
CROSS_ENV   := TAVIK_ROOT=cross $(ENV)
ARM64_ENV   := TAVIK_ROOT=arm64 $(ENV)
ARM64       := $(CURDIR)/build/arm64
ARM64_WHEEL := $(CURDIR)/build/wheel-arm64
TOOLCHAIN   := $(CURDIR)/tools/aarch64-linux-gnu.cmake
# Under emulation the fixed-seed properties run with fewer examples.
ARM64_PROPERTY_EXAMPLES ?= 10

.PHONY: release-arm64 wheel-arm64 test-arm64

release-arm64:
	$(CROSS_ENV) sh -ec 'cmake -S . -B $(ARM64) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    --toolchain $(TOOLCHAIN) -DPython_EXECUTABLE="$$(command -v $(PYTHON))"; cmake --build $(ARM64)'

wheel-arm64:
	rm -rf $(ARM64_WHEEL)
	$(CROSS_ENV) env CMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) _PYTHON_HOST_PLATFORM=linux-aarch64 \
	    $(PYTHON) -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check \
	    -C build-dir=build/wheel-tree-arm64 -w $(ARM64_WHEEL) .

test-arm64: release-arm64 wheel-arm64
	$(ARM64_ENV) $(PYTHON) -c 'import platform, sys; print("machine:", platform.machine()); \
	    sys.exit(platform.machine() != "aarch64")'
	$(ARM64_ENV) env PYTHONPATH=$(ARM64):$(HOST) PROPERTY_EXAMPLES=$(ARM64_PROPERTY_EXAMPLES) \
	    $(PYTHON) -m pytest -q -p no:cacheprovider tests
	$(ARM64_ENV) env PYTHONPATH=$(ARM64):$(HOST) $(PYTHON) examples/demo.py
	$(ARM64_ENV) $(PYTHON) tools/check_wheel.py $(ARM64_WHEEL) $(HOST)

# Needs no Python, so it does not go through the environment.
clean:
	rm -rf build .pytest_cache
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
