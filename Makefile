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
TOOLS       := scikit-build-core cmake ninja pytest pytest-timeout hypothesis
BUILD_CPP   := build/cpp
INSTALL_FLAGS := --no-build-isolation -Ccmake.define.VESKLINE_WERROR=ON

.PHONY: test demo bench soak cpp-test pytest pytest-313 install venv gtest format clean

test: cpp-test pytest pytest-313

demo: install
	$(PY) examples/lock_demo.py
	$(PY) examples/demo.py

# Peers are installed into .venv here only; iceoryx2 is optional.
BENCH_PEERS := faster-fifo pyzmq posix_ipc matplotlib

bench: install
	$(VENV)/bin/pip install --quiet $(BENCH_PEERS)
	-$(VENV)/bin/pip install --quiet iceoryx2 || echo "iceoryx2 did not install: benchmarking without it"
	$(PY) bench/run.py

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

# --- housekeeping -------------------------------------------------------------

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build $(VENV) $(VENV_313)
