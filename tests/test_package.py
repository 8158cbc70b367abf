"""The package as a user installs it from source: the sdist built from this
checkout is installed into a fresh CPython 3.11 virtualenv (build isolation,
numpy from the package index). The build must target the interpreter's
stable-ABI level, numpy arrays must travel through a ring and a view, and the
C++ examples must build against the headers and CMake package inside the
installed wheel (find_package(velmora CONFIG) with velmora_DIR from
velmora.get_cmake_dir()).

The virtualenv is kept under build/package and rebuilt when the sdist's
contents change. Skipped, with the reason, where CPython 3.11, the package
index or a C++ compiler is missing."""
import hashlib
import shutil
import subprocess
import sys
import tarfile
import textwrap
from pathlib import Path

import pytest

import velmora
from conftest import pop_from, running

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "package"
VENV = CACHE / "venv-3.11"
DEADLINE_S = 120


def run(cmd, timeout=900, **kw):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=timeout, **kw)


def python311():
    if sys.version_info[:2] == (3, 11):
        return sys.executable
    return shutil.which("python3.11")


def sdist_digest(sdist: Path) -> str:
    """The digest of the sdist's file names and contents (not its timestamps)."""
    h = hashlib.sha256()
    with tarfile.open(sdist) as tar:
        for member in sorted(tar.getmembers(), key=lambda m: m.name):
            h.update(member.name.encode())
            if member.isfile():
                h.update(tar.extractfile(member).read())
    return h.hexdigest()


@pytest.fixture(scope="module")
def venv_python():
    """The python of a fresh 3.11 virtualenv holding velmora built from the sdist, and numpy."""
    base = python311()
    if base is None:
        pytest.skip("CPython 3.11 not found")
    made = run([ROOT / "scripts" / "make-sdist.sh", CACHE / "sdist", sys.executable])
    if made.returncode != 0:
        pytest.skip(f"cannot make the sdist (needs `build` and scikit-build-core): {made.stderr[-400:]}")
    sdist = Path(made.stdout.strip().splitlines()[-1])
    digest = sdist_digest(sdist)
    py = VENV / "bin" / "python"
    stamp = VENV / ".sdist"
    if not (stamp.exists() and stamp.read_text() == digest):
        shutil.rmtree(VENV, ignore_errors=True)
        got = run([base, "-m", "venv", VENV])
        assert got.returncode == 0, got.stderr
        got = run([py, "-m", "pip", "install", "-q", "numpy"])
        if got.returncode != 0:
            pytest.skip(f"cannot install numpy: {got.stderr[-400:]}")
        # A user's install: pip builds the sdist with its own isolated build tools.
        got = run([py, "-m", "pip", "install", "-q", sdist], timeout=1800)
        assert got.returncode == 0, got.stdout[-2000:] + got.stderr[-4000:]
        stamp.write_text(digest)
    return py


def in_venv(py, code):
    # From an empty folder: the checkout's velmora/ must not shadow the install.
    got = run([py, "-c", textwrap.dedent(code)], timeout=DEADLINE_S, cwd=CACHE)
    assert got.returncode == 0, got.stdout + got.stderr
    return got.stdout


def test_source_build_targets_the_interpreters_stable_abi(venv_python):
    out = in_venv(venv_python, """
        import importlib.metadata as m, velmora
        print(m.distribution("velmora").read_text("WHEEL"))
        print(velmora._velmora.__file__)
    """)
    assert "Tag: cp311-abi3-" in out, out
    assert "_velmora.abi3.so" in out, out


def test_numpy_arrays_travel_through_a_ring_and_a_view(venv_python, seg_name):
    out = in_venv(venv_python, f"""
        import numpy as np, velmora
        name = {seg_name!r}
        ring = velmora.SharedMemory.create(name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
        try:
            frame = np.arange(64, dtype=np.float64).reshape(8, 8)
            assert ring.push(frame)
            assert ring.push(frame[:, ::2].copy(order="C"))
            out = np.zeros((8, 8))
            assert ring.pop_into(out) == frame.nbytes
            assert np.array_equal(out, frame)
            half = np.zeros(32)
            assert ring.pop_into(half) == 256
            assert np.array_equal(half.reshape(8, 4), frame[:, ::2])
            assert ring.pop_into(out) is None
        finally:
            velmora.SharedMemory.remove(name)
        # The data area follows the 4-byte lock word: offset=4 is 8-aligned.
        view = velmora.SharedMemory.create(name, 8 + 8 * 16).map()
        try:
            data = np.frombuffer(view, dtype=np.float64, offset=4)
            assert data.ctypes.data % 8 == 0 and data.size == 16
            view.write(np.linspace(0.0, 1.5, 16), 4)
            print(data.tolist() == np.linspace(0.0, 1.5, 16).tolist())
            del data
        finally:
            velmora.SharedMemory.remove(name)
    """)
    assert out.strip() == "True"


def cmake_tools():
    bindir = Path(sys.executable).parent
    cmake = bindir / "cmake" if (bindir / "cmake").exists() else shutil.which("cmake")
    ninja = bindir / "ninja" if (bindir / "ninja").exists() else shutil.which("ninja")
    if cmake is None or ninja is None:
        pytest.skip("cmake and ninja are needed to build examples/cpp")
    if shutil.which("c++") is None and shutil.which("g++") is None:
        pytest.skip("no C++ compiler to build examples/cpp")
    return cmake, ninja


def configure(cmake, ninja, build, velmora_dir):
    return run([cmake, "-S", ROOT / "examples" / "cpp", "-B", build, "-G", "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={ninja}", "-DCMAKE_BUILD_TYPE=Release", f"-Dvelmora_DIR={velmora_dir}"])


def test_cpp_examples_build_against_the_installed_wheel(venv_python, seg_name):
    cmake, ninja = cmake_tools()
    include, cmake_dir = in_venv(venv_python, """
        import velmora
        print(velmora.get_include()); print(velmora.get_cmake_dir())
    """).split()
    assert (Path(include) / "velmora" / "velmora.hpp").is_file()
    assert str(VENV) in cmake_dir
    build = CACHE / "examples"
    shutil.rmtree(build, ignore_errors=True)
    got = configure(cmake, ninja, build, cmake_dir)
    assert got.returncode == 0, got.stdout + got.stderr
    got = run([cmake, "--build", build])
    assert got.returncode == 0, got.stdout + got.stderr
    # The wheel's library, not a source tree, went into the program.
    assert str(VENV / "lib") in (build / "build.ninja").read_text()

    # And the program talks to this process.
    count = 200
    ring = velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc()
    with running(build / "ring_producer", seg_name, count) as proc:
        got, out, err = pop_from(ring, proc, count, DEADLINE_S)
    assert proc.returncode == 0, err
    assert out.strip() == f"sent {count}"
    sizes = [3072 if seq % 50 == 0 else seq * 131 % 1000 for seq in range(count)]
    assert [len(m) for m in got] == sizes
    assert all(m == bytes((seq * 7 + i) & 0xFF for i in range(len(m))) for seq, m in enumerate(got))


def test_headers_only_package_refuses_with_its_reason(tmp_path):
    """The CMake package of a wheel without the library (the zig/libc++ ones)
    stops find_package with the reason, rather than a link error later."""
    cmake, ninja = cmake_tools()
    shutil.copy(ROOT / "cmake" / "velmoraConfig-headers.cmake.in", tmp_path / "velmoraConfig.cmake")
    got = configure(cmake, ninja, tmp_path / "build", tmp_path)
    assert got.returncode != 0
    assert "carries the C++ headers only" in " ".join((got.stdout + got.stderr).split())
