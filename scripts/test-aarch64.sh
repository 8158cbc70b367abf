#!/usr/bin/env bash
# The Linux aarch64 wheel under user-mode emulation: `make wheel-aarch64`
# cross-builds it (zig, glibc 2.17), then the Python test suite runs against it
# on Debian's arm64 CPython 3.11, unpacked into a sysroot and run by qemu-user
# (`qemu-aarch64 -L SYSROOT`). No system configuration changes: apt reads the
# arm64 package lists into build/aarch64/apt, not the machine's own.
#
# Installs qemu-user with apt-get when missing. A wrapper script stands in for
# the interpreter, so that the tests' child processes (sys.executable) run
# under emulation too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$ROOT/build/aarch64
SYSROOT=$OUT/sysroot
VPY=$ROOT/.venv/bin/python
say() { echo "test-aarch64: $*"; }

if ! command -v qemu-aarch64 >/dev/null; then
    say "installing qemu-user (apt-get)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user >/dev/null
fi

# ---- Debian's arm64 CPython in a sysroot ----------------------------------------
if [ ! -x "$SYSROOT/usr/bin/python3.11" ]; then
    say "unpacking Debian's arm64 CPython 3.11 into $SYSROOT"
    mkdir -p "$OUT/apt/lists/partial" "$OUT/apt/cache/archives/partial" "$OUT/debs"
    touch "$OUT/apt/status"
    cat >"$OUT/apt/apt.conf" <<CONF
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
Dir::State::Lists "$OUT/apt/lists";
Dir::Cache "$OUT/apt/cache";
Dir::State::status "$OUT/apt/status";
CONF
    export APT_CONFIG=$OUT/apt/apt.conf
    apt-get -q update >/dev/null
    # The interpreter, its standard library and the libraries they load.
    (cd "$OUT/debs" && apt-get -q download python3.11-minimal libpython3.11-minimal libpython3.11-stdlib \
        media-types libc6 libgcc-s1 gcc-12-base libbz2-1.0 libcrypt1 libdb5.3 libexpat1 libffi8 libgdbm6 \
        libgdbm-compat4 liblzma5 libmd0 libncursesw6 libnsl2 libtirpc3 libgssapi-krb5-2 libk5crypto3 \
        libkrb5-3 libkrb5support0 libkeyutils1 libcom-err2 libreadline8 libsqlite3-0 libssl3 libtinfo6 \
        libuuid1 libzstd1 zlib1g >/dev/null 2>&1)
    unset APT_CONFIG
    rm -rf "$SYSROOT"; mkdir -p "$SYSROOT"
    for deb in "$OUT"/debs/*.deb; do dpkg-deb -x "$deb" "$SYSROOT"; done
fi

# ---- a virtualenv of the emulated interpreter ---------------------------------------
# bin/python is a host script that starts the emulator, with argv[0] set so
# that the interpreter finds the virtualenv (and children come back here).
ENV=$OUT/venv
if [ ! -x "$ENV/bin/python" ]; then
    rm -rf "$ENV"
    qemu-aarch64 -L "$SYSROOT" "$SYSROOT/usr/bin/python3.11" -m venv --without-pip "$ENV"
    rm -f "$ENV"/bin/python*
    cat >"$ENV/bin/python" <<WRAP
#!/bin/sh
exec qemu-aarch64 -L "$SYSROOT" -0 "$ENV/bin/python" "$SYSROOT/usr/bin/python3.11" "\$@"
WRAP
    chmod +x "$ENV/bin/python"
    ln -s python "$ENV/bin/python3"
fi
[ "$("$ENV/bin/python" -c 'import platform; print(platform.machine())')" = aarch64 ] || {
    say "the emulated interpreter does not run" >&2; exit 1; }
site=$("$ENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')

wheel=$(ls "$ROOT"/dist/velmora-*-cp311-abi3-*manylinux2014_aarch64*.whl)
# pip runs on the host and installs for the emulated interpreter's tags: the
# wheel under test, pytest and its pure-Python dependencies.
"$VPY" -m pip install -q --upgrade --force-reinstall --target "$site" --platform manylinux2014_aarch64 \
    --python-version 3.11 --implementation cp --only-binary=:all: "$wheel" pytest
# The console script as pip would write it for this interpreter.
cat >"$ENV/bin/velmora" <<SCRIPT
#!$ENV/bin/python
import sys
from velmora.cli import main
sys.exit(main())
SCRIPT
chmod +x "$ENV/bin/velmora"
say "CPython $("$ENV/bin/python" -c 'import platform; print(platform.python_version(), platform.machine())') under qemu-aarch64 with $(basename "$wheel")"
# Typing, packaging, benchmark and C++ tests need tools that do not run here
# (checkers, compilers, the x86-64 C++ examples).
(cd tests && VELMORA_WHEEL="$wheel" "$ENV/bin/python" -m pytest -q -p no:cacheprovider . \
    --ignore=test_typing.py --ignore=test_package.py --ignore=test_bench_compare.py --ignore=test_cpp_api.py "$@")
