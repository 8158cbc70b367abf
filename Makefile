# `make test` and `make demo` do all of their own set-up: a virtualenv in .venv
# with the build and test tools, the package built and installed into it, and
# GoogleTest from the system's packages for the native tests.

PYTHON   ?= python3
VENV     := .venv
VPY      := $(VENV)/bin/python
NATIVE   := build/native
STAMP    := $(VENV)/.tools-stamp
WHEELHOUSE := build/wheelhouse

.PHONY: all install gtest test test-native test-python test-windows test-abi3 test-sanitize fuzz stress wheel demo bench clean \
        wheel-aarch64 test-aarch64 \
        cpp-example cpp-bench

all: install

$(STAMP): Makefile
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja "pytest>=8.4" build "pyzmq>=25"
	$(VPY) -m pip install -q uvloop || echo "uvloop did not install: the velmora.aio tests that use it skip"
	# numpy for the tests of arrays sent in place (the package itself needs none)
	$(VPY) -m pip install -q numpy || echo "numpy did not install: the array tests will be skipped"
	touch $@

# Installed from a wheel, which the typing tests also install into a clean venv.
# Like any source build it targets the venv interpreter's stable-ABI level
# (cp311-abi3 on 3.11+, with buffers; cp310-abi3 on 3.10); make test-abi3
# covers both portable wheels.
# Rebuilt only when a file the wheel is made from changed since the last install.
INSTALL_STAMP := $(VENV)/.install-stamp
WHEEL_INPUTS  := $(shell find src include velmora cmake -type f -not -name '*.pyc' 2>/dev/null) \
                 CMakeLists.txt pyproject.toml README.md LICENSE

install: $(INSTALL_STAMP)

$(INSTALL_STAMP): $(STAMP) $(WHEEL_INPUTS)
	rm -f $(WHEELHOUSE)/velmora-*.whl
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps . -w $(WHEELHOUSE)
	$(VPY) -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/velmora-*.whl
	touch $@

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

# From tests/: the checkout's velmora/ folder (no extension in it) must not
# shadow the installed package on sys.path.
test-python: install
	cd tests && ../$(VPY) -m pytest -q .

test: test-native test-python

demo: install
	$(VPY) examples/demo.py

# bench/compare.py measures these peers next to velmora; one that does not
# install is skipped there with a note (the stamp waits until all have).
BENCH_PEERS := matplotlib faster-fifo pyzmq posix_ipc iceoryx2==0.10.*
BENCH_STAMP := $(VENV)/.bench-stamp

$(BENCH_STAMP): $(STAMP)
	@ok=1; for p in $(BENCH_PEERS); do \
	  $(VPY) -m pip install -q "$$p" || { ok=0; echo "bench: $$p did not install; its row will be skipped"; }; \
	done; [ $$ok = 0 ] || touch $@

# The native driver: the ring core driven from C++, built like the wheel (Release).
.PHONY: bench-native
bench-native: $(STAMP)
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DVELMORA_PYTHON=OFF -DVELMORA_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build build/bench --target velmora_bench_ring

# BENCH_QUICK=1 make bench: one short round of bench/compare.py (see its docstring).
bench: install $(BENCH_STAMP) bench-native
	@for f in bench/*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done

# The sdist and two portable abi3 wheels (cp310, cp311) in dist/, built with
# the zig toolchain from PyPI against glibc 2.17 (manylinux2014).
wheel: $(STAMP)
	scripts/build-wheels.sh

# The wheels from `make wheel` under every CPython 3.10+ on the machine.
test-abi3: $(STAMP)
	scripts/test-abi3.sh

# The cp311-abi3 wheel cross-built for Linux aarch64 into dist/, and the Python
# suite run against it on Debian's arm64 CPython 3.11 under qemu-user (no
# CPython 3.10 for arm64 is at hand to test a cp310 one with).
wheel-aarch64: $(STAMP)
	WHEEL_ARCH=aarch64 WHEEL_SABIS=3.11 scripts/build-wheels.sh

test-aarch64: wheel-aarch64
	scripts/test-aarch64.sh

# Cross-builds the core and native tests with mingw-w64 and runs them under Wine.
test-windows:
	scripts/test-windows.sh

# The C++ API: installed into build/cpp/prefix, examples/cpp/ built against
# that installed package; the two-process C++ streaming benchmark.
cpp-example: $(STAMP)
	scripts/build-cpp-example.sh

cpp-bench: $(STAMP)
	$(VENV)/bin/cmake -S . -B build/cpp/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DVELMORA_PYTHON=OFF -DVELMORA_CPP_INSTALL=OFF -DVELMORA_CPP_API_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build build/cpp/bench -j2 --target velmora_cpp_api_bench
	build/cpp/bench/velmora_cpp_api_bench

# Reliability (see CONTRIBUTING.md): sanitizer builds of both suites, coverage-guided
# fuzzers, multi-process stress. FUZZ_SECONDS and STRESS_SECONDS set the time
# each fuzzer and each stress scenario runs.
FUZZ_SECONDS   ?= 60
STRESS_SECONDS ?= 60

# Each of these works from a fresh clone on its own: it depends on what it uses.
# test-sanitize: the installed package's metadata and console script (the CLI
# tests) beside the sanitized extension it builds itself.
test-sanitize: install gtest
	scripts/test-sanitize.sh

fuzz: $(STAMP)
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

stress: install
	$(VPY) stress/run.py --seconds $(STRESS_SECONDS)

clean:
	rm -rf build dist $(VENV)
