#!/usr/bin/env bash
# Builds the portable wheels once (`make wheel`: cp310-abi3 and cp311-abi3,
# manylinux2014) and runs the Python test suite against them under every
# CPython 3.10+ found on this machine: pip chooses the wheel from dist/ as it
# would for a user, and the choice is checked (cp310-abi3 on 3.10, cp311-abi3
# on 3.11 and later). Versions that cannot be found are reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=build/abi3

find_python() {  # find_python 3.10 -> path of a working interpreter, or nothing
    local v=$1 p
    for p in "$(command -v "python$v" || true)" \
             $(ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)/versions/$v".*/bin/python3 2>/dev/null | sort -V -r); do
        [ -n "$p" ] && "$p" -c 'import sys; sys.exit(0)' >/dev/null 2>&1 && { echo "$p"; return 0; }
    done
    return 1
}

scripts/build-wheels.sh

for v in ${ABI3_VERSIONS:-3.10 3.11 3.12 3.13}; do
    if ! py=$(find_python "$v"); then echo "test-abi3: CPython $v not found, skipped"; continue; fi
    [ "$v" = 3.10 ] && want=cp310-abi3 || want=cp311-abi3
    env="$ROOT/$OUT/venv-$v"
    [ -x "$env/bin/python" ] || "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q pytest
    "$env/bin/python" -m pip install -q --force-reinstall --no-deps --no-index --find-links dist velmora
    wheel=$(ls "$ROOT"/dist/velmora-*-"$want"-*_"$(uname -m)".whl)
    got=$("$env/bin/python" -c 'import importlib.metadata as m; print(m.distribution("velmora").read_text("WHEEL"))')
    case "$got" in
        *"Tag: $want-manylinux"*) ;;
        *) echo "test-abi3: CPython $v installed the wrong wheel (want $want):"; echo "$got"; exit 1 ;;
    esac
    echo "test-abi3: CPython $("$env/bin/python" -c 'import platform; print(platform.python_version())') with $(basename "$wheel")"
    (cd "$ROOT/tests" && VELMORA_WHEEL="$wheel" "$env/bin/python" -W error::DeprecationWarning -m pytest -q -p no:cacheprovider .)
done
