# `make test` and `make demo` do all of their own set-up: a virtualenv in .venv
# with the build and test tools, the package built and installed into it, and
# GoogleTest from the system's packages for the native tests.

PYTHON   ?= python3
VENV     := .venv
VPY      := $(VENV)/bin/python
NATIVE   := build/native
STAMP    := $(VENV)/.tools-stamp

.PHONY: all install gtest test test-native test-python test-windows test-abi3 test-sanitize fuzz stress demo bench clean

all: install

$(STAMP): Makefile
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest
	touch $@

install: $(STAMP)
	$(VPY) -m pip install -q --no-build-isolation .

# GoogleTest comes from the distribution; install it when it is missing.
gtest:
	@test -f /usr/include/gtest/gtest.h || { \
	  echo "installing GoogleTest (libgtest-dev)"; \
	  apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev >/dev/null; }

test-native: $(STAMP) gtest
	$(VENV)/bin/cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELMORA_PYTHON=OFF -DVELMORA_NATIVE_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE)
	$(NATIVE)/velmora_native_tests --gtest_brief=1

test-python: install
	$(VPY) -m pytest -q tests

test: test-native test-python

demo: install
	$(VPY) examples/demo.py

bench: install
	@for f in bench/*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done

# The same abi3 wheel under every other CPython 3.10+ on the machine.
test-abi3: $(STAMP)
	scripts/test-abi3.sh

# Cross-builds the core and native tests with mingw-w64 and runs them under Wine.
test-windows:
	scripts/test-windows.sh

# Reliability (see README): sanitizer builds of both suites, coverage-guided
# fuzzers, multi-process stress. FUZZ_SECONDS and STRESS_SECONDS set the time
# each fuzzer and each stress scenario runs.
FUZZ_SECONDS   ?= 60
STRESS_SECONDS ?= 60

test-sanitize: $(STAMP) gtest
	scripts/test-sanitize.sh

fuzz: $(STAMP)
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

stress: install
	$(VPY) stress/run.py --seconds $(STRESS_SECONDS)

clean:
	rm -rf build $(VENV)
