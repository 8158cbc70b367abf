"""The wheel's type stub, as users meet it: installed into a clean virtualenv
next to mypy and pyright, with no configuration at all, it must make the
checkers accept correct code and flag wrong code; and mypy's stubtest must
find it in agreement with the built module.

The virtualenv is made once per interpreter version under build/typing and
kept; the wheel is reinstalled into it when it changes. The tests skip, with
the reason, when the checkers cannot be installed."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SAMPLES = Path(__file__).resolve().parent / "typecheck"
CACHE = ROOT / "build" / "typing"
# pyright's PyPI package carries its JavaScript; the nodejs extra brings Node
# as a wheel, so neither needs the npm registry.
# numpy for the buffer sample (tests/typecheck/numpy_buffers.py).
TOOLS = ["mypy", "pyright[nodejs]", "numpy"]
# Buffers are refused on 3.10, typing_extensions.Buffer on 3.11,
# collections.abc.Buffer from 3.12 on.
PY_VERSIONS = ["3.10", "3.11", "3.12"]


def built_wheel() -> Path:
    """The wheel under test: $VELMORA_WHEEL, else the one `make install` built."""
    if os.environ.get("VELMORA_WHEEL"):
        return Path(os.environ["VELMORA_WHEEL"])
    wheels = sorted((ROOT / "build" / "wheelhouse").glob("velmora-*.whl"))
    if not wheels:
        pytest.skip("no wheel in build/wheelhouse: `make install` builds one")
    return wheels[-1]


def run(cmd, env=None, timeout=300):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=timeout,
                          cwd=CACHE, env=env)


@pytest.fixture(scope="module")
def checker_venv():
    """bin/ of a clean virtualenv holding the checkers and the wheel under test."""
    venv = CACHE / "venv-{}.{}".format(*sys.version_info[:2])
    bindir = venv / "bin"
    tools_stamp = venv / ".tools"
    if not tools_stamp.exists():
        shutil.rmtree(venv, ignore_errors=True)
        CACHE.mkdir(parents=True, exist_ok=True)
        made = run([sys.executable, "-m", "venv", venv])
        if made.returncode != 0:
            pytest.skip(f"cannot make a virtualenv: {made.stderr.strip()[-300:]}")
        got = run([bindir / "python", "-m", "pip", "install", "-q", *TOOLS], timeout=900)
        if got.returncode != 0:
            pytest.skip(f"cannot install {' '.join(TOOLS)}: {got.stderr.strip()[-300:]}")
        tools_stamp.touch()
    wheel = built_wheel()
    digest = hashlib.sha256(wheel.read_bytes()).hexdigest()
    wheel_stamp = venv / ".wheel"
    if not wheel_stamp.exists() or wheel_stamp.read_text() != digest:
        got = run([bindir / "python", "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel])
        assert got.returncode == 0, got.stderr
        wheel_stamp.write_text(digest)
    return bindir


def activated(bindir: Path) -> dict:
    """The environment of a shell that activated the virtualenv."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "MYPY"))}
    env["PATH"] = f"{bindir}{os.pathsep}{env.get('PATH', '')}"
    env["VIRTUAL_ENV"] = str(bindir.parent)
    return env


def check(tool: str, py_version: str, bindir: Path, *samples: str):
    if tool == "mypy":
        cmd = ["mypy", "--strict", "--no-error-summary", "--python-version", py_version]
    else:
        cmd = ["pyright", "--pythonversion", py_version]
    return run([*cmd, *(SAMPLES / s for s in samples)], env=activated(bindir))


def marked_lines(sample: str, mark: str) -> set:
    source = (SAMPLES / sample).read_text().splitlines()
    return {n for n, line in enumerate(source, 1) if line.rstrip().endswith(mark)}


def flagged_lines(output: str, sample: str) -> set:
    """Line numbers of the errors reported for `sample`, in either tool's format:
    mypy 'path:LINE: error: ...', pyright 'path:LINE:COL - error: ...'."""
    pattern = re.compile(rf"{re.escape(sample)}:(\d+):(?:\d+ -)? error")
    return {int(m.group(1)) for m in pattern.finditer(output)}


@pytest.mark.parametrize("py_version", PY_VERSIONS)
@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_checkers_accept_correct_code_and_flag_wrong_code(checker_venv, tool, py_version):
    out = check(tool, py_version, checker_venv, "good.py", "bad.py")
    report = out.stdout + out.stderr
    assert flagged_lines(report, "good.py") == set(), report
    assert flagged_lines(report, "bad.py") == marked_lines("bad.py", "# error"), report
    assert "could not be resolved" not in report and "Cannot find implementation" not in report, report


@pytest.mark.parametrize("py_version", PY_VERSIONS)
@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_numpy_buffers_typecheck_where_the_extension_takes_them(checker_venv, tool, py_version):
    out = check(tool, py_version, checker_venv, "numpy_buffers.py")
    report = out.stdout + out.stderr
    expected = marked_lines("numpy_buffers.py", "# 3.10: error") if py_version == "3.10" else set()
    assert flagged_lines(report, "numpy_buffers.py") == expected, report
    assert "Cannot find implementation" not in report, report


def test_stubtest_agrees_with_the_built_module(checker_venv):
    allowlists = [SAMPLES / "stubtest-allowlist.txt"]
    if sys.version_info[:2] == (3, 11):
        allowlists.append(SAMPLES / "stubtest-allowlist-py311.txt")
    if sys.version_info >= (3, 12):
        allowlists.append(SAMPLES / "stubtest-allowlist-py312.txt")
    # An entry needed on one interpreter may be unused on another.
    args = [a for path in allowlists for a in ("--allowlist", path)] + ["--ignore-unused-allowlist"]
    out = run([checker_venv / "python", "-m", "mypy.stubtest", "velmora", *args], env=activated(checker_venv))
    assert out.returncode == 0, out.stdout + out.stderr
