#!/usr/bin/env bash
# Cross-builds the core and its native tests for 64-bit Windows with mingw-w64
# and runs them under Wine. Also checks that only src/platform talks to the
# operating system. The Python extension is not built: Windows CPython headers
# and libraries are not available here.
#
# Installs the compiler and Wine with apt-get when they are missing (needs
# root); if they cannot be had, says so and exits 0 with "skipped".
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=build/win
TRIPLE=x86_64-w64-mingw32
CXX_CROSS=$TRIPLE-g++-posix
GTEST_SRC=/usr/src/googletest/googletest/src/gtest-all.cc

skip() {
    echo "test-windows: $*" >&2
    echo "test-windows: skipped"
    exit 0
}

find_wine() {
    for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        if [ -n "$w" ] && [ -x "$w" ]; then echo "$w"; return 0; fi
    done
    return 1
}

ensure_tools() {
    if command -v "$CXX_CROSS" >/dev/null && find_wine >/dev/null && [ -f "$GTEST_SRC" ]; then return 0; fi
    [ "$(id -u)" = 0 ] || skip "mingw-w64, Wine or GoogleTest sources missing and not running as root to install them"
    command -v apt-get >/dev/null || skip "mingw-w64, Wine or GoogleTest sources missing and no apt-get to install them"
    echo "test-windows: installing g++-mingw-w64-x86-64-posix, wine64 and googletest"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null && apt-get install -y -q g++-mingw-w64-x86-64-posix wine64 googletest >/dev/null ||
        skip "could not install mingw-w64 / Wine with apt-get"
}

# cmake and ninja from the project's virtualenv when it has them.
pick_tool() {
    if [ -x ".venv/bin/$1" ]; then echo "$ROOT/.venv/bin/$1"; else command -v "$1"; fi
}

# Only src/platform may include OS headers or call the shared-memory API;
# the core and the binding layer stay portable.
check_os_free() {
    local files pattern found
    files=$(find src -name '*.cpp' -o -name '*.hpp' | grep -v '^src/platform/' | sort)
    pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([Ww]indows\.h|winbase\.h|sys/|unistd\.h|fcntl\.h)'
    pattern+='|^[^/]*\b(shm_open|shm_unlink|mmap|munmap|ftruncate|CreateFileMapping[AW]?|OpenFileMapping[AW]?|MapViewOfFile|UnmapViewOfFile|CloseHandle)[[:space:]]*\('
    # shellcheck disable=SC2086
    found=$(grep -nE "$pattern" $files || true)
    if [ -n "$found" ]; then
        echo "test-windows: OS headers or calls outside src/platform:" >&2
        echo "$found" >&2
        exit 1
    fi
    echo "test-windows: no OS headers or calls outside src/platform ($(echo "$files" | wc -l) files)"
}

# The layers below the binding never include it: no Python.h and nothing from
# src/python under src/platform, src/core or src/api.
check_layers() {
    local found
    found=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Python\.h|python/)' \
        $(find src/platform src/core src/api -name '*.cpp' -o -name '*.hpp' | sort) || true)
    if [ -n "$found" ]; then
        echo "test-windows: the binding included below it:" >&2
        echo "$found" >&2
        exit 1
    fi
    echo "test-windows: src/platform, src/core and src/api include nothing of the binding"
}

# The core outside src/platform must compile for Windows as it stands.
check_core_compiles() {
    local f
    for f in $(find src/core src/api -name '*.cpp' -o -name '*.hpp' | sort); do
        # Included rather than compiled directly, so headers are checked as headers.
        "$CXX_CROSS" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -Isrc -Iinclude -include "$f" -x c++ - </dev/null
    done
    echo "test-windows: core sources compile for $TRIPLE"
}

build() {
    local cmake ninja
    cmake=$(pick_tool cmake) || skip "cmake not found"
    ninja=$(pick_tool ninja) || skip "ninja not found"
    "$cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DVELMORA_PYTHON=OFF -DVELMORA_NATIVE_TESTS=ON >/dev/null
    "$cmake" --build "$BUILD" -j2
}

run_tests() {
    local wine
    wine=$(find_wine)
    export WINEPREFIX="$ROOT/$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # A fresh prefix is set up once, quietly, so its chatter does not mix with the results.
    [ -d "$WINEPREFIX" ] || "$wine" wineboot --init >/dev/null 2>&1 || true
    echo "test-windows: running $BUILD/velmora_native_tests.exe under $("$wine" --version 2>/dev/null || echo Wine)"
    "$wine" "$BUILD/velmora_native_tests.exe" --gtest_brief=1 "$@"
}

ensure_tools
check_os_free
check_layers
check_core_compiles
build
run_tests "$@"
