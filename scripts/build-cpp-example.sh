#!/usr/bin/env bash
# Installs the C++ library (headers, static library, CMake package) into
# build/cpp/prefix, then builds examples/cpp/ against that installed package,
# not the source tree. cmake and ninja come from the project's virtualenv
# when it has them (CMAKE / NINJA override).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
pick_tool() {
    if [ -x ".venv/bin/$1" ]; then echo "$ROOT/.venv/bin/$1"; else command -v "$1"; fi
}
CMAKE=${CMAKE:-$(pick_tool cmake)}
NINJA=${NINJA:-$(pick_tool ninja)}
PREFIX=$ROOT/build/cpp/prefix

"$CMAKE" -S . -B build/cpp/lib -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_PYTHON=OFF -DVELMORA_CPP_INSTALL=ON >/dev/null
"$CMAKE" --build build/cpp/lib -j2
"$CMAKE" --install build/cpp/lib --prefix "$PREFIX" >/dev/null
"$CMAKE" -S examples/cpp -B build/cpp/examples -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
"$CMAKE" --build build/cpp/examples -j2
echo "cpp-example: built build/cpp/examples/{ring_producer,view_reader,mpsc_producer,record_counter,broadcast_publisher} against $PREFIX"
