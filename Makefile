# Every command runs through tools/env.sh, which provides Python 3.14 (and its
# debug build) on a machine that lacks it.

ENV      := tools/env.sh
PYTHON   := python3.14
PYTHON_D := python3.14d
RELEASE  := $(CURDIR)/build/release
DEBUG    := $(CURDIR)/build/debug
SANITIZE := $(CURDIR)/build/sanitize
WHEEL    := $(CURDIR)/build/wheel
HOST     := $(CURDIR)/host
VENV     := $(CURDIR)/build/venv

.PHONY: all build release debug sanitize-build demo test check leaks sanitize typecheck wheel installed fuzz clean bench

all: build

build: release debug

# $(call cmake_build,BUILD_DIR,INTERPRETER,BUILD_TYPE[,CMAKE_OPTIONS]); the
# interpreter is resolved inside the environment, where it lives.
define cmake_build
	$(ENV) sh -ec 'cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=$(3) $(4) \
	    -DPython_EXECUTABLE="$$(command -v $(2))"; cmake --build $(1)'
endef

release:
	$(call cmake_build,$(RELEASE),$(PYTHON),Release)

# Debug interpreter, Py_DEBUG ABI: for the reference-leak checks.
debug:
	$(call cmake_build,$(DEBUG),$(PYTHON_D),Debug)

# Release interpreter, modules built with ASan and UBSan (Debug flags: -O1,
# libstdc++ assertions).
sanitize-build:
	$(call cmake_build,$(SANITIZE),$(PYTHON),Debug,-DTAVIK_SANITIZE=ON)

demo: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) $(PYTHON) examples/demo.py

test: build check leaks sanitize typecheck wheel installed

# The property tests (tests/test_properties_*.py) run in `check` and `leaks`
# with a fixed seed and PROPERTY_EXAMPLES examples each; lower it where the
# interpreter is slow (emulation). `make fuzz` runs them long: FUZZ_EXAMPLES
# each, from FUZZ_SEED (a new one unless given; give it again to replay).
PROPERTY_EXAMPLES ?= 25
FUZZ_EXAMPLES ?= 2000
ifndef FUZZ_SEED
FUZZ_SEED := $(shell od -An -N4 -tu4 /dev/urandom | tr -d ' ')
endif
PROPERTIES := PROPERTY_EXAMPLES=$(PROPERTY_EXAMPLES)

check: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) $(PROPERTIES) $(PYTHON) -m pytest -q tests

# The whole suite on the sanitized modules. The interpreter is not
# instrumented, so the ASan runtime is preloaded, and PYTHONMALLOC=malloc
# sends every object allocation through it. Any report ends the process with
# a failure; subprocesses of the tests inherit the settings. Leak detection
# stays off: the interpreter keeps memory until exit by design, and the
# reference-leak checks of the debug build cover the modules.
SANITIZER_ENV := PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    $(PROPERTIES) PYTHONPATH=$(SANITIZE):$(HOST)

sanitize: sanitize-build
	$(ENV) sh -ec 'export LD_PRELOAD="$$(g++ -print-file-name=libasan.so)"; \
	    exec env $(SANITIZER_ENV) $(PYTHON) -m pytest -q -p no:cacheprovider tests'

# The whole suite on the debug interpreter: its reference-leak checks
# (tests/leaks, collected only there) and every other test under Py_DEBUG's
# assertions.
leaks: debug
	$(ENV) env PYTHONPATH=$(DEBUG):$(HOST) $(PROPERTIES) $(PYTHON_D) -m pytest -q -p no:cacheprovider tests

fuzz: release
	@echo "fuzz: $(FUZZ_EXAMPLES) examples per property, FUZZ_SEED=$(FUZZ_SEED)"
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) PROPERTY_PROFILE=fuzz FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PYTHON) -m pytest \
	    -q -p no:cacheprovider --hypothesis-seed=$(FUZZ_SEED) --hypothesis-show-statistics tests/test_properties_*.py

# The stubs against the built modules, then a typed user of them. The host
# stand-ins are on both paths: the dicts stub re-exports two host names.
typecheck: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) MYPYPATH=$(RELEASE):$(HOST) \
	    MYPY_CACHE_DIR=$(CURDIR)/build/mypy-cache sh -ec '\
	    $(PYTHON) -m mypy.stubtest tavik.utils.dicts tavik.utils.parser; \
	    $(PYTHON) -m mypy --strict examples/typed_usage.py'

# The manylinux policy auditwheel finds both wheels consistent with; the
# wheels are retagged with it once built, and tools/check_wheel.py fails when
# auditwheel's verdict moves away from it. The C++ runtime linked in (the
# build root's GCC) names symbols of glibc 2.32 to 2.38, bound to their first
# versions by src/tavik/utils/core/libc_compat.cpp; what is left needs 2.17.
MANYLINUX := manylinux_2_17
# $(call retag,ENV,WHEEL_DIR,MACHINE)
retag = $(1) sh -ec 'cd $(2) && $(PYTHON) -m wheel tags --remove --platform-tag $(MANYLINUX)_$(3) *.whl'

wheel:
	rm -rf $(WHEEL)
	$(ENV) $(PYTHON) -m pip wheel --no-build-isolation --no-deps \
	    --disable-pip-version-check -w $(WHEEL) .
	$(call retag,$(ENV),$(WHEEL),$$(uname -m))
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
# Under emulation the fixed-seed properties run with fewer examples, and the
# tests of large inputs take 2 MB rather than 10.
ARM64_PROPERTY_EXAMPLES ?= 10
ARM64_LARGE_INPUT_MB ?= 2

.PHONY: release-arm64 wheel-arm64 test-arm64

release-arm64:
	$(CROSS_ENV) sh -ec 'cmake -S . -B $(ARM64) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    --toolchain $(TOOLCHAIN) -DPython_EXECUTABLE="$$(command -v $(PYTHON))"; cmake --build $(ARM64)'

wheel-arm64:
	rm -rf $(ARM64_WHEEL)
	$(CROSS_ENV) env CMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) _PYTHON_HOST_PLATFORM=linux-aarch64 \
	    $(PYTHON) -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check \
	    -C build-dir=build/wheel-tree-arm64 -w $(ARM64_WHEEL) .
	$(call retag,$(CROSS_ENV),$(ARM64_WHEEL),aarch64)

test-arm64: release-arm64 wheel-arm64
	$(ARM64_ENV) $(PYTHON) -c 'import platform, sys; print("machine:", platform.machine()); \
	    sys.exit(platform.machine() != "aarch64")'
	$(ARM64_ENV) env PYTHONPATH=$(ARM64):$(HOST) PROPERTY_EXAMPLES=$(ARM64_PROPERTY_EXAMPLES) \
	    LARGE_INPUT_MB=$(ARM64_LARGE_INPUT_MB) $(PYTHON) -m pytest -q -p no:cacheprovider --durations=10 tests
	$(ARM64_ENV) env PYTHONPATH=$(ARM64):$(HOST) $(PYTHON) examples/demo.py
	$(ARM64_ENV) $(PYTHON) tools/check_wheel.py $(ARM64_WHEEL) $(HOST)

# Needs no Python, so it does not go through the environment.
clean:
	rm -rf build .pytest_cache
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

# Native against the plain-Python rendering and its Cython build, one process.
bench: release
	$(ENV) env PYTHONPATH=$(RELEASE):$(HOST) $(PYTHON) bench/run.py $(BENCH_ARGS)
