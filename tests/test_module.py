import types
import importlib.metadata
import subprocess
import sys

import pytest

import velmora

CLASSES = ["SharedMemory", "MappedView", "SpscRingBuffer", "MpscRingBuffer", "MpmcRingBuffer", "Publisher", "Subscriber", "LockScope"]
# The package's own pure-Python classes, after the extension's, then its exceptions.
PURE = ["Queue", "Record"]
ERRORS = ["TornRecordError"]
# The extension's own warning, after its classes.
WARNINGS = ["LockRecoveredWarning"]


def test_module_surface():
    assert velmora.__all__ == CLASSES + WARNINGS + PURE + ERRORS
    assert "velmora.SharedMemory.create(" in velmora.__doc__
    assert velmora.__version__ == importlib.metadata.version("velmora")
    # Besides the classes: the build paths and whichever submodules are imported.
    public = sorted(n for n, v in vars(velmora).items() if not n.startswith("_") and not isinstance(v, types.ModuleType))
    assert public == sorted(CLASSES + WARNINGS + PURE + ERRORS + ["get_cmake_dir", "get_include"])


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_properties(cls_name):
    cls = getattr(velmora, cls_name)
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls_name
    assert repr(cls) == f"<class '{cls_name}'>"
    assert cls.__doc__ and "\n--\n" not in cls.__doc__
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in vars(cls) and "__weakref__" not in vars(cls)
    assert cls.__str__ is object.__str__ and cls.__hash__ is object.__hash__
    assert cls.__eq__ is object.__eq__


def test_instance_has_no_dict(seg_name):
    shm = velmora.SharedMemory.create(seg_name, 64)
    with pytest.raises(AttributeError):
        shm.anything = 1
    assert str(shm) == repr(shm)


SUBINTERPRETER_PROBE = """
import velmora
try:                                   # 3.13+: a legacy interpreter shares our GIL
    import _interpreters as si
    failure = si.run_string(si.create("legacy"), "import velmora")
    print(f"refused: {failure.type.__name__}: {failure.msg}" if failure else "imported")
except ImportError:                    # 3.10 - 3.12
    import _xxsubinterpreters as si
    try:
        interp = si.create(isolated=False)  # 3.12: share our GIL, so our own check runs
    except TypeError:
        interp = si.create()
    try:
        si.run_string(interp, "import velmora")
        print("imported")
    except Exception as exc:
        print("refused:", exc)
"""


def test_subinterpreter_import_is_refused():
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER_PROBE], capture_output=True, text=True, timeout=60)
    if "No module named '_xxsubinterpreters'" in out.stderr:
        pytest.skip("this interpreter offers no sub-interpreters to Python code")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("refused:") and "ImportError" in out.stdout, out.stdout
    assert "cannot be imported in more than one interpreter per process" in out.stdout
