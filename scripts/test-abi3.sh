#!/usr/bin/env bash
# Builds the abi3 wheel once with the project's interpreter and runs the Python
# test suite against that same wheel under every other CPython 3.10+ found on
# this machine: one binary must serve them all. Versions that cannot be found
# are reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=build/abi3
VPY=.venv/bin/python

find_python() {  # find_python 3.10 -> path of a working interpreter, or nothing
    local v=$1 p
    for p in "$(command -v "python$v" || true)" \
             $(ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)/versions/$v".*/bin/python3 2>/dev/null | sort -V -r); do
        [ -n "$p" ] && "$p" -c 'import sys; sys.exit(0)' >/dev/null 2>&1 && { echo "$p"; return 0; }
    done
    return 1
}

rm -rf "$OUT/dist"
"$VPY" -m pip wheel -q --no-build-isolation --no-deps . -w "$OUT/dist"
wheel=$(ls "$OUT"/dist/velmora-*-cp310-abi3-*.whl)
echo "test-abi3: $(basename "$wheel")"

own=$("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
for v in 3.10 3.11 3.12 3.13; do
    [ "$v" = "$own" ] && continue
    if ! py=$(find_python "$v"); then echo "test-abi3: CPython $v not found, skipped"; continue; fi
    env="$OUT/venv-$v"
    [ -x "$env/bin/python" ] || "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q pytest
    "$env/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    echo "test-abi3: CPython $("$env/bin/python" -c 'import platform; print(platform.python_version())')"
    (cd "$ROOT" && "$env/bin/python" -W error::DeprecationWarning -m pytest -q -p no:cacheprovider tests)
done
