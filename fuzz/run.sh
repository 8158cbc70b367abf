#!/usr/bin/env bash
# Coverage-guided fuzzing of the extension with atheris (libFuzzer for Python).
#
# The extension is built with clang, -fsanitize=fuzzer-no-link (so libFuzzer
# sees the coverage of the C++ code, not only of the Python harness) and
# AddressSanitizer + UndefinedBehaviorSanitizer, and loaded into an interpreter
# that preloads atheris' ASan runtime with libFuzzer linked in. Every fuzzer
# checks results against an independent model (fuzz/model.py): a mismatch is
# an uncaught exception, which libFuzzer reports as a crash.
#
#   fuzz/run.sh [fuzzer ...]      fuzzers: ring view args broadcast fanin mpmc (default: all)
#   FUZZ_SECONDS=N                time per fuzzer (default 60)
#
# Before fuzzing, every reproducer in fuzz/crashes/<fuzzer>/ is replayed: a
# fixed bug must stay fixed. New findings are written there too
# (crash-<sha1>), with the log in build/fuzz/<fuzzer>.log; replay one with
#   fuzz/run.sh --replay fuzz/crashes/ring/crash-...
# New corpus entries go to build/fuzz/corpus/<fuzzer>; the seeds kept in
# fuzz/corpus/<fuzzer> are refreshed with --merge.
#
# Installs clang (apt-get) and atheris (pip, into .venv) when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=build/fuzz
VPY=$ROOT/.venv/bin/python
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
ALL=(ring view args broadcast fanin mpmc)

say() { echo "fuzz: $*"; }

ensure_tools() {
    if ! command -v clang++ >/dev/null; then
        say "installing clang (apt-get)"
        command -v apt-get >/dev/null || { say "clang++ missing and no apt-get to install it" >&2; exit 1; }
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null && apt-get install -y -q clang >/dev/null
    fi
    if ! "$VPY" -c 'import atheris' 2>/dev/null; then
        say "installing atheris (pip)"
        "$VPY" -m pip install -q atheris
    fi
}

build() {
    local dir=$OUT/ext flags
    flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined,fuzzer-no-link"
    # atheris' runtime comes from a newer LLVM than Debian's clang: leave out the
    # two UBSan checks whose handlers were renamed since (vptr, function).
    flags+=" -fno-sanitize=vptr,function -fno-sanitize-recover=all"
    "$ROOT/.venv/bin/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="$flags" \
        -DVELMORA_PYTHON=ON -DVELMORA_NATIVE_TESTS=OFF -DPython_EXECUTABLE="$VPY" >/dev/null
    "$ROOT/.venv/bin/cmake" --build "$dir" -j2 | { grep -v -e '^\[' -e '^ninja: no work to do' || true; }
    # The package as a wheel lays it out: the Python files beside the extension.
    rm -rf "$dir/pkg"; mkdir -p "$dir/pkg"
    cp -r velmora "$dir/pkg/velmora"
    cp "$dir"/_velmora*.so "$dir/pkg/velmora/"
}

# The interpreter with atheris' ASan+libFuzzer runtime preloaded and the
# instrumented extension first on the path.
fuzz_env() {
    local lib
    lib=$("$VPY" -c 'import atheris, os; print(os.path.join(os.path.dirname(atheris.path()), "asan_with_fuzzer.so"))' 2>/dev/null)
    [ -f "$lib" ] || lib=$("$VPY" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so
    [ -f "$lib" ] || { say "atheris has no asan_with_fuzzer.so" >&2; exit 1; }
    FUZZ_ENV=(env LD_PRELOAD="$lib" PYTHONPATH="$ROOT/$OUT/ext/pkg" PYTHONMALLOC=malloc
              ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:handle_abort=1
              UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
    local loaded
    loaded=$("${FUZZ_ENV[@]}" "$VPY" -P -c 'import velmora; print(velmora.__file__)' 2>/dev/null)
    case "$loaded" in
        "$ROOT/$OUT/ext/pkg/"*) ;;
        *) say "the instrumented extension did not load (got '$loaded')" >&2; exit 1 ;;
    esac
}

replay() {  # replay FUZZER FILE...
    local fuzzer=$1
    shift
    "${FUZZ_ENV[@]}" "$VPY" "fuzz/fuzz_$fuzzer.py" -runs=1 "$@"
}

run_one() {
    local fuzzer=$1 log=$OUT/$1.log corpus=$OUT/corpus/$1 artifacts=fuzz/crashes/$1/
    mkdir -p "$corpus" "$artifacts" "fuzz/corpus/$fuzzer"
    local old
    old=$(find "$artifacts" -type f | sort)
    if [ -n "$old" ]; then
        # shellcheck disable=SC2086
        if ! replay "$fuzzer" $old >"$OUT/$fuzzer.replay.log" 2>&1; then
            say "$fuzzer: a kept reproducer fails again (see $OUT/$fuzzer.replay.log)"
            tail -n 30 "$OUT/$fuzzer.replay.log"
            return 1
        fi
        say "$fuzzer: $(echo "$old" | wc -l) kept reproducers pass"
    fi
    local status=0
    "${FUZZ_ENV[@]}" "$VPY" "fuzz/fuzz_$fuzzer.py" -max_total_time="$FUZZ_SECONDS" -timeout=20 \
        -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$corpus" "fuzz/corpus/$fuzzer" >"$log" 2>&1 || status=$?
    local runs cov ft units
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    units=$(find "$corpus" "fuzz/corpus/$fuzzer" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        say "$fuzzer: FAILED after ${runs:-?} runs (exit $status); log $log"
        grep -m1 -E -B2 -A12 'ERROR: AddressSanitizer|runtime error:|ERROR: libFuzzer: (deadly|timeout|out-of-memory)' "$log" || true
        grep -m1 -E '^Mismatch:|^[A-Za-z]*Error:' "$log" || true
        grep -E '^SUMMARY|Test unit written to' "$log" || true
        return 1
    fi
    say "$fuzzer: ${runs:-?} runs in ${FUZZ_SECONDS} s, coverage ${cov:-?} edges / ${ft:-?} features, corpus $units inputs, 0 failures"
}

merge() {  # keeps fuzz/corpus/<fuzzer> a small set covering everything found so far
    local fuzzer=$1 tmp
    tmp=$(mktemp -d)
    # A merge runs the fuzzer again as a child (argv[0]), so the venv's python must come first.
    PATH="$ROOT/.venv/bin:$PATH" "${FUZZ_ENV[@]}" "fuzz/fuzz_$fuzzer.py" -merge=1 -max_len=4096 "$tmp" \
        "fuzz/corpus/$fuzzer" "$OUT/corpus/$fuzzer" >"$OUT/$fuzzer.merge.log" 2>&1
    rm -rf "fuzz/corpus/$fuzzer"
    mv "$tmp" "fuzz/corpus/$fuzzer"
    say "$fuzzer: fuzz/corpus/$fuzzer holds $(find "fuzz/corpus/$fuzzer" -type f | wc -l) inputs"
}

ensure_tools
build
fuzz_env
mkdir -p "$OUT"
if [ "${1:-}" = "--replay" ]; then
    shift
    file=$1
    fuzzer=$(basename "$(dirname "$file")")
    replay "$fuzzer" "$file"
    exit
fi
mode=run
if [ "${1:-}" = "--merge" ]; then mode=merge; shift; fi
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=("${ALL[@]}")
failed=0
for f in "${fuzzers[@]}"; do
    if [ "$mode" = merge ]; then merge "$f"; else run_one "$f" || failed=$((failed + 1)); fi
done
if [ "$failed" -ne 0 ]; then say "FAILED: $failed of ${#fuzzers[@]} fuzzers found a fault"; exit 1; fi
[ "$mode" = merge ] || say "passed: ${#fuzzers[@]} fuzzers, ${FUZZ_SECONDS} s each"
