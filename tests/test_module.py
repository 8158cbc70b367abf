import importlib
import inspect
import types
import importlib.metadata
import subprocess
import sys

import pytest

import velmora

CLASSES = ["SharedMemory", "MappedView", "SpscRingBuffer", "MpscRingBuffer", "Publisher", "Subscriber", "LockScope"]
# The package's own pure-Python classes, after the extension's, then its exceptions.
PURE = ["Record"]
ERRORS = ["TornRecordError"]
# The extension's own warning, after its classes.
WARNINGS = ["LockRecoveredWarning"]

METHODS = {
    "SharedMemory": ["create", "open", "remove", "map", "name", "size", "spsc", "close", "_claim_holders"],
    "MappedView": ["read_all", "read_range", "write", "write_struct", "read_struct", "seek", "tell", "read", "read_mixed",
                   "write_mixed", "zero", "reader_count", "is_write_locked", "size", "lock_recoveries", "reset_lock", "write_locked",
                   "read_locked", "add", "compare_exchange", "load", "store", "close", "_open"],
    "SpscRingBuffer": ["push", "pop", "used", "capacity", "free", "is_empty", "is_full", "pop_mixed",
                       "put", "get", "get_mixed", "push_many", "pop_many", "pop_into", "get_into",
                       "get_view", "has_producer", "has_consumer", "fileno", "room_fileno", "_check_consumer", "close", "segment_size",
                       "create", "open"],
    "MpscRingBuffer": ["segment_size", "create", "open", "push", "put", "push_many", "pop", "get", "pop_mixed", "get_mixed",
                       "pop_many", "pop_into", "get_into", "get_view", "used", "capacity", "free", "is_empty", "has_consumer",
                       "has_producer", "producers", "fileno", "room_fileno", "end", "_check_consumer", "close"],
    "LockScope": [],
    "Publisher": ["create", "publish", "loan", "room_fileno", "subscribers", "close", "_take_over"],
    "Subscriber": ["open", "receive", "receive_view", "_receive_many", "fileno", "missed", "has_publisher", "subscribers", "close"],
}

SIGNATURES = {
    ("SharedMemory", "create"): "(name, size)",
    ("SharedMemory", "open"): "(name, size=None)",
    ("SharedMemory", "remove"): "(name)",
    ("SharedMemory", "map"): "($self)",
    ("SharedMemory", "name"): "($self)",
    ("SharedMemory", "size"): "($self)",
    ("SharedMemory", "spsc"): "($self)",
    ("MappedView", "read_range"): "($self, offset, length)",
    ("MappedView", "write"): "($self, data, offset=None)",
    ("MappedView", "seek"): "($self, pos=0)",
    ("MappedView", "read"): "($self, tag)",
    ("MappedView", "read_mixed"): "($self, schema, offset=None)",
    ("MappedView", "write_mixed"): "($self, items, offset=None)",
    ("MappedView", "add"): "($self, offset, delta)",
    ("MappedView", "compare_exchange"): "($self, offset, expected, new)",
    ("MappedView", "load"): "($self, offset)",
    ("MappedView", "store"): "($self, offset, value)",
    ("MappedView", "write_locked"): "($self)",
    ("SpscRingBuffer", "push"): "($self, data)",
    ("SpscRingBuffer", "pop"): "($self, tag=None)",
    ("SpscRingBuffer", "pop_mixed"): "($self, schema)",
    ("Publisher", "create"): "(name, max_message, depth, subscribers=16, overflow='block')",
    ("Publisher", "publish"): "($self, data, timeout=None)",
    ("Publisher", "loan"): "($self, nbytes, timeout=None, *, format='B', shape=None)",
    ("Subscriber", "open"): "(name)",
    ("Subscriber", "receive"): "($self, timeout=None, eof=False)",
    ("Subscriber", "receive_view"): "($self, timeout=None, eof=False)",
    ("Subscriber", "fileno"): "($self)",
    ("Publisher", "room_fileno"): "($self)",
    ("SpscRingBuffer", "segment_size"): "(capacity)",
    ("MpscRingBuffer", "segment_size"): "(capacity, producers=8)",
    ("SpscRingBuffer", "create"): "(name, capacity)",
    ("SpscRingBuffer", "open"): "(name)",
    ("MpscRingBuffer", "create"): "(name, capacity, producers=8, expect=None)",
    ("MpscRingBuffer", "open"): "(name)",
    ("MpscRingBuffer", "get"): "($self, tag=None, timeout=None, eof=False)",
    ("SpscRingBuffer", "get"): "($self, tag=None, timeout=None, eof=False)",
    ("SpscRingBuffer", "get_into"): "($self, buffer, timeout=None, eof=False)",
    ("SpscRingBuffer", "get_view"): "($self, timeout=None, eof=False)",
    ("SpscRingBuffer", "has_producer"): "($self)",
}


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
    own = [name for name, value in vars(cls).items() if callable(value) or isinstance(value, staticmethod)]
    assert [n for n in own if not n.startswith("__")] == METHODS[cls_name]
    assert "__dict__" not in vars(cls) and "__weakref__" not in vars(cls)
    assert cls.__str__ is object.__str__ and cls.__hash__ is object.__hash__
    assert cls.__eq__ is object.__eq__


@pytest.mark.parametrize(("cls_name", "method"), sorted(SIGNATURES))
def test_text_signatures(cls_name, method):
    func = getattr(getattr(velmora, cls_name), method)
    assert func.__text_signature__ == SIGNATURES[cls_name, method]


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


def _stub_methods():
    """(class, method, parameter names with defaults, overloaded) as the
    installed package's stub declares them, one entry per overload."""
    import ast
    import importlib.util
    import pathlib

    package = pathlib.Path(importlib.util.find_spec("velmora").origin).parent
    stub = package / "__init__.pyi"
    for cls in ast.parse(stub.read_text()).body:
        if not isinstance(cls, ast.ClassDef):
            continue
        for fn in cls.body:
            if not isinstance(fn, ast.FunctionDef) or any(ast.unparse(d) == "property" for d in fn.decorator_list):
                continue  # attributes are stubtest's to check
            args = fn.args.posonlyargs + fn.args.args
            defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
            params = [a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(args, defaults)]
            if fn.args.kwonlyargs:
                params.append("*")
                params += [a.arg if d is None else f"{a.arg}={ast.unparse(d)}"
                           for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
            overloaded = any(ast.unparse(d) == "overload" for d in fn.decorator_list)
            yield cls.name, fn.name, params, overloaded


def _pending_in_stub():
    """Methods the stub declares ahead of the module: the stubtest allowlist."""
    import pathlib

    listed = pathlib.Path(__file__).parent / "typecheck" / "stubtest-allowlist.txt"
    lines = [line.strip() for line in listed.read_text().splitlines()]
    return {tuple(line.split(".")[1:]) for line in lines if line and not line.startswith("#")}


def test_type_stub_matches_the_runtime():
    """Every method has its runtime parameters in the stub (names only where
    overloads differ in defaults; stubtest checks those in full), and the stub
    declares no public method the module lacks unless it is listed as pending."""
    declared = {}
    for cls, name, params, overloaded in _stub_methods():
        declared.setdefault((cls, name), []).append((params, overloaded))
    # Besides the classes: the private type of the slots lent to `with` blocks.
    assert {cls for cls, _ in declared if not cls.startswith("_")} == set(CLASSES + PURE)
    positional = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    for cls_name in PURE:
        cls = getattr(velmora, cls_name)
        for (owner, method), stubs in list(declared.items()):
            if owner == cls_name and not method.startswith("__"):
                runtime = [p.name for p in inspect.signature(getattr(cls, method)).parameters.values()
                           if p.kind in positional]
                for stub_params, _ in stubs:
                    if "*" in stub_params:
                        stub_params = stub_params[:stub_params.index("*")]
                    assert [p.split("=")[0] for p in stub_params] == runtime, (cls_name, method)
                del declared[owner, method]
    for cls_name in CLASSES:
        for method in METHODS[cls_name]:
            runtime = getattr(getattr(velmora, cls_name), method).__text_signature__
            params = [p.strip() for p in runtime.strip("()").split(",") if p.strip()]
            params = ["self" if p == "$self" else p for p in params]
            params = [p for p in params if p != "/" and not (p.startswith("*") and p != "*")]  # *values: not a named one
            for stub_params, overloaded in declared.pop((cls_name, method)):
                if overloaded:
                    assert [p.split("=")[0] for p in stub_params] == [p.split("=")[0] for p in params]
                else:
                    assert stub_params == params, (cls_name, method)
    extra = {key for key in declared if not key[1].startswith("__")} - _pending_in_stub()
    assert not extra, f"stub declares methods the module lacks: {sorted(extra)}"
