#!/usr/bin/env bash
# The test suites against sanitizer builds; any report fails the run.
#
#  1. the native suite built with -fsanitize=address,undefined;
#  2. the pytest suite against the extension built the same way, with the
#     AddressSanitizer runtime preloaded into the (uninstrumented) interpreter,
#     Python's allocator switched to malloc so ASan sees every object, and leak
#     detection off (the interpreter keeps its allocations to the end);
#  3. the native threaded lock and ring tests built with -fsanitize=thread.
#
# UBSan is built with -fno-sanitize-recover, so its first report aborts;
# ASan and TSan run with halt_on_error=1. Expects the project's .venv with the
# package installed (`make test-sanitize` installs it: the CLI tests read its
# metadata and console script) and GoogleTest from the distribution.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=build/sanitize
VPY=$ROOT/.venv/bin/python
CMAKE=$ROOT/.venv/bin/cmake
NINJA=$ROOT/.venv/bin/ninja
JOBS=${JOBS:-2}
# A lock or ring fault can leave a test waiting for ever: bound each run.
LIMIT=${SANITIZE_TIMEOUT:-900}

COMMON="-g -O1 -fno-omit-frame-pointer"
ASAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all $COMMON"
TSAN_FLAGS="-fsanitize=thread $COMMON"
# The threaded tests: lock exclusion, ring and broadcast streams between threads.
TSAN_FILTER='Threads*.*:RwLockThreads.*:Ring.TwoThreadStreamArrivesIntactAndInOrder:Words.ViewCountsExactlyAcrossMappings:BroadcastThreads.*'

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
step() { echo "test-sanitize: $*"; }

configure() {  # configure DIR FLAGS EXTRA...
    local dir=$1 flags=$2
    shift 2
    "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_CXX_FLAGS="$flags" "$@" >/dev/null
    # Progress lines dropped; pipefail keeps the build's own exit status.
    "$CMAKE" --build "$dir" -j"$JOBS" | { grep -v -e '^\[' -e '^ninja: no work to do' || true; }
}

# ---- 1. native suite, ASan + UBSan ----------------------------------------------
step "native suite under AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$OUT/native-asan" "$ASAN_FLAGS" -DVELMORA_PYTHON=OFF -DVELMORA_NATIVE_TESTS=ON
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
    timeout "$LIMIT" "$OUT/native-asan/velmora_native_tests" --gtest_brief=1

# ---- 2. pytest suite, ASan + UBSan extension --------------------------------------
step "pytest suite against the ASan + UBSan extension"
# CMake builds for the interpreter's stable-ABI level, as its wheel is (3.11+: buffers).
configure "$OUT/ext-asan" "$ASAN_FLAGS" -DVELMORA_PYTHON=ON -DVELMORA_NATIVE_TESTS=OFF \
    -DPython_EXECUTABLE="$VPY"
# The package as a wheel lays it out: the pure-Python files beside the
# sanitized extension.
build_dir=$ROOT/$OUT/ext-asan
ext_dir=$build_dir/pkg
rm -rf "$ext_dir"; mkdir -p "$ext_dir"
cp -r velmora "$ext_dir/velmora"
cp "$build_dir"/_velmora*.so "$ext_dir/velmora/"
libasan=$(g++ -print-file-name=libasan.so)
[ -e "$libasan" ] || { echo "test-sanitize: libasan.so not found" >&2; exit 1; }
asan_env=(env PYTHONPATH="$ext_dir" LD_PRELOAD="$libasan" PYTHONMALLOC=malloc
          ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0)
# The suite must exercise the sanitized build, not the one installed in .venv.
loaded=$("${asan_env[@]}" "$VPY" -P -c 'import velmora; print(velmora.__file__)')
case "$loaded" in
    "$ext_dir"/*) step "extension under test: ${loaded#"$ROOT"/}" ;;
    *) echo "test-sanitize: imported $loaded instead of the sanitized build" >&2; exit 1 ;;
esac
ext=$(ls "$ext_dir"/velmora/_velmora*.so)
[ "$(nm -D "$ext" | grep -c ' U __asan_report')" -gt 0 ] || { echo "test-sanitize: $ext is not instrumented" >&2; exit 1; }
# --capture=sys: a sanitizer report (written to fd 2) reaches the terminal, not
# pytest's capture of a process that is about to abort.
# The typing, packaging and benchmark tests check other builds and third-party
# packages (a clean venv's wheel, the sdist built in a fresh venv; matplotlib,
# whose C++ does not run under ASan).
(cd tests && "${asan_env[@]}" timeout "$LIMIT" "$VPY" -m pytest -q -p no:cacheprovider --capture=sys . \
    --ignore=test_typing.py --ignore=test_package.py --ignore=test_bench_compare.py)

# The lifecycle chaos stress rounds (threads, forks, closing signal handlers,
# daemon threads at exit; every channel kind closed while other threads are
# inside calls, lent memory entered after close) in their short form, every
# round under the same build.
step "stress (e) lifecycle chaos against the ASan + UBSan extension"
"${asan_env[@]}" timeout "$LIMIT" "$VPY" stress/run.py --seconds "${STRESS_SECONDS:-10}" --only e

# ---- 3. threaded native tests, TSan -------------------------------------------------
step "threaded native tests under ThreadSanitizer"
configure "$OUT/native-tsan" "$TSAN_FLAGS" -DVELMORA_PYTHON=OFF -DVELMORA_NATIVE_TESTS=ON
# TSan needs the classic address-space layout; setarch -R turns randomisation off
# for this one process where the kernel's randomisation would upset it.
run_tsan=(timeout "$LIMIT" "$OUT/native-tsan/velmora_native_tests" --gtest_brief=1 --gtest_filter="$TSAN_FILTER")
if command -v setarch >/dev/null; then run_tsan=(setarch "$(uname -m)" -R "${run_tsan[@]}"); fi
TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 "${run_tsan[@]}"

step "passed (no sanitizer reports)"
