#!/usr/bin/env bash
# scripts/make-sdist.sh OUTDIR [PYTHON]: the sdist of this checkout in OUTDIR,
# made from the project's own files (tracked, or new and not ignored): the
# build backend would otherwise walk build/, where a Wine prefix links back to
# the root of the file system. PYTHON (default .venv/bin/python) needs the
# `build` package and scikit-build-core. Prints the sdist's path.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$(mkdir -p "$1" && cd "$1" && pwd)
VPY=${2:-$ROOT/.venv/bin/python}
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$tree"
rm -f "$OUT"/velmora-*.tar.gz
"$VPY" -m build -q --sdist --no-isolation -o "$OUT" "$tree" >/dev/null
ls "$OUT"/velmora-*.tar.gz
