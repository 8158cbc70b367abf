#!/usr/bin/env python3
"""Fuzzer: hostile arguments and schemas for every method.

Each input picks a method of MappedView, SpscRingBuffer or SharedMemory and
calls it with fuzzed positional and keyword arguments drawn from a pool of
awkward objects (negative and huge ints, int/str/list/tuple subclasses,
objects whose __index__ raises or returns a non-int, NaNs, lone surrogates,
wrong types, surplus and unknown keywords) and fuzzed schemas. The models in
fuzz/model.py bind and convert arguments exactly as the module documents, so
each call must return the model's result or raise the model's exception
(with the module's own text where it is the module's), and a call that
raises must leave the segment exactly as it was.

    python fuzz/fuzz_args.py [libFuzzer options] [corpus dirs or files]
"""
import itertools
import math
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import SM  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

import velmora


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IndexRaises:
    def __index__(self):
        raise RuntimeError("__index__ refused")


class IndexNotInt:
    def __index__(self):
        return "7"


class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class Outer:
    class Inner:
        pass


POOL = [
    None, 0, 1, 3, 7, 16, -1, -(1 << 63), (1 << 63) - 1, 1 << 63, (1 << 64) - 1, 1 << 64, 1 << 200,
    True, False, 1.5, -0.0, math.nan, math.inf, 1j, "", "i64", "str", "u8", "bool", "\ud800", StrSub("f64"),
    b"", b"\x01\x02", bytearray(b"xyz"), [], [1, "a"], [[1, 2]], ListSub([2.5]), (), ("i64", 1),
    TupleSub(("u8", 2)), {}, object(), Outer.Inner(), Index(2), Index(-3), Index(1 << 64), IndexRaises(),
    IndexNotInt(), IntSub(5), range(3),
]
KEYWORDS = ["data", "offset", "length", "pos", "tag", "schema", "items", "name", "size", "Offset", "x", ""]

VIEW_METHODS = ["read_all", "read_range", "write", "seek", "tell", "read", "read_mixed", "write_mixed",
                "zero", "reader_count", "is_write_locked", "size"]
RING_METHODS = ["push", "pop", "pop_mixed", "used", "capacity", "free", "is_empty", "is_full"]
NOARGS = {"read_all", "tell", "zero", "reader_count", "is_write_locked", "size", "used", "capacity",
          "free", "is_empty", "is_full"}
STATIC = ["create", "open", "remove"]

VIEW_SIZE = 24
RING_CAP = 64
_counter = itertools.count()
_view_seg = _ring_seg = None


def setup():
    global _view_seg, _ring_seg, _view, _ring, _ring_opener
    _view_seg = common.Segment(4 + VIEW_SIZE, "args-view")
    _view = _view_seg.shm.map()
    _view_seg.unlink()
    _ring_seg = common.Segment(24 + RING_CAP, "args-ring")
    _ring = _ring_seg.shm.spsc()
    _ring_opener = SM.open(_ring_seg.name)
    _ring_seg.unlink()


def arg(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return common.schema(fdp)
    if kind == 1:
        return common.value(fdp)
    if kind == 2:
        return fdp.ConsumeIntInRange(0, VIEW_SIZE + 4)
    return common.pick(fdp, POOL)


def call_args(fdp, names_hint):
    n = fdp.ConsumeIntInRange(0, 3)
    args = tuple(arg(fdp) for _ in range(n))
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        key = common.pick(fdp, names_hint + KEYWORDS) if fdp.ConsumeBool() else common.pick(fdp, KEYWORDS)
        kwargs[key] = arg(fdp)
    return args, kwargs


# ---- SharedMemory's static methods: everything before the operating system is modelled ----

class ReachesOS(Exception):
    """The model's verdict: the call gets as far as the OS; it may succeed or raise OSError."""


def _validate(name):
    if not name or name[0] != "/":
        raise model.exact(ValueError, "name must start with '/' (e.g. \"/my_segment\")")
    if len(name) == 1:
        raise model.exact(ValueError, "name must have at least one character after '/'")
    rest = name.lstrip("/")
    if "\0" in rest:
        raise model.exact(ValueError, f"nul byte found in provided data at position: {rest.index(chr(0))}")


def static_model(method, args, kwargs):
    if method == "remove":
        (name,), _ = model.Signature("SharedMemory.remove()", ["name"], 1).bind(args, kwargs)
        _validate(model.arg_text(name, "name"))
        raise ReachesOS
    if method == "create":
        (name, size), _ = model.Signature("SharedMemory.create()", ["name", "size"], 2).bind(args, kwargs)
        anonymous = name is None  # a segment without a name: nothing to validate
        if not anonymous:
            name = model.arg_text(name, "name")
        if model.arg_u64(size, "size") == 0:
            raise model.exact(ValueError, "size must be > 0")
        if not anonymous:
            _validate(name)
        raise ReachesOS
    (name, size), given = model.Signature("SharedMemory.open()", ["name", "size"], 1).bind(args, kwargs)
    name = model.arg_text(name, "name")
    if given[1] and size is not None:
        model.arg_u64(size, "size")
    _validate(name)
    raise ReachesOS


def name_for(fdp, fresh, existing):
    pool = [fresh, StrSub(fresh), "", "x", "/", "//", "/a/b", "/a\0b", "//\0", "/" + "n" * 300, "/\ud800",
            None, b"/x", 5]
    if existing:
        pool.append(existing)
    return common.pick(fdp, pool)


def sane_size(fdp):
    # Nothing between 1 MiB and 2^63: the OS would really try to reserve it.
    return common.pick(fdp, [0, 1, 24, 4096, -1, 1 << 63, (1 << 64) - 1, 1 << 64, 1.0, None, Index(64),
                             IndexRaises(), "8"])


def fuzz_static(fdp):
    """Any name the call could reach the OS with is one of ours (`fresh`, or
    an `existing` segment made for an open), removed again afterwards."""
    method = common.pick(fdp, STATIC)
    fresh = common.fresh_name(f"args{next(_counter)}")
    existing = None
    if method == "open" and fdp.ConsumeBool():
        existing = common.fresh_name("args-open")
        SM.create(existing, 64)
    try:
        static_call(fdp, method, fresh, existing)
    finally:
        for name in (fresh, existing):
            if name:
                common.remove_quietly(name)


def static_call(fdp, method, fresh, existing):
    args = [name_for(fdp, fresh, existing)]
    if method != "remove" or fdp.ConsumeIntInRange(0, 4) == 0:
        args.append(sane_size(fdp))
    if fdp.ConsumeIntInRange(0, 4) == 0:
        args.append(common.pick(fdp, POOL))
    kwargs = {}
    if fdp.ConsumeIntInRange(0, 3) == 0:
        kwargs[common.pick(fdp, ["name", "size", "Size", "x"])] = common.pick(
            fdp, [sane_size(fdp), name_for(fdp, fresh, existing)])
    want = model.outcome(static_model, method, tuple(args), kwargs)
    got = model.outcome(getattr(SM, method), *args, **kwargs)
    what = f"SharedMemory.{method}(*{args!r}, **{kwargs!r})"
    if want[0] == "raised" and isinstance(want[1], ReachesOS):
        if got[0] == "raised" and not isinstance(got[1], (OSError, ValueError)):
            raise model.Mismatch(f"{what}: raised {type(got[1]).__name__}({got[1]}) from the OS step")
        return
    model.check(what, want, got)


def reset_view(fdp):
    data = fdp.ConsumeBytes(VIEW_SIZE).ljust(VIEW_SIZE, b"\0")
    _view_seg.buf[0:4] = b"\0\0\0\0"
    _view_seg.buf[4:4 + VIEW_SIZE] = data
    cursor = fdp.ConsumeIntInRange(0, VIEW_SIZE)
    _view.seek(cursor)
    return model.ViewModel(data, cursor)


def reset_ring(fdp):
    start = common.u64_near(fdp)
    ring_model = model.RingModel(struct.pack("<QQQ", start, start, RING_CAP) + bytes(RING_CAP))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        model.outcome(ring_model.push, common.value(fdp, depth=1) if fdp.ConsumeBool() else fdp.ConsumeBytes(8))
        if fdp.ConsumeBool():  # leave a consumed frame's bytes behind the head
            ring_model.pop()
    _ring_seg.buf[0:24 + RING_CAP] = bytes(ring_model.seg)
    # A ring object caches the counters it validated: rewritten bytes want a
    # fresh one (an opener, so the header written above stays).
    global _ring
    _ring = _ring_opener.spsc()
    return ring_model


def TestOneInput(data):
    if _view_seg is None:
        setup()
    fdp = atheris.FuzzedDataProvider(data)
    target = fdp.ConsumeIntInRange(0, 4)
    if target == 0:
        fuzz_static(fdp)
        return
    if target <= 2:
        obj, seg, state, methods, hint = _view, _view_seg, reset_view(fdp), VIEW_METHODS, ["data", "offset"]
    else:
        state = reset_ring(fdp)  # first: it replaces _ring
        obj, seg, methods, hint = _ring, _ring_seg, RING_METHODS, ["data", "tag", "schema"]
    method = common.pick(fdp, methods)
    args, kwargs = call_args(fdp, hint)
    if method in NOARGS:
        if fdp.ConsumeIntInRange(0, 5):
            args, kwargs = (), {}
        if args or kwargs:  # a METH_NOARGS method refuses any argument
            want = ("raised", TypeError(f"{method}() takes no arguments"))
        else:
            want = model.outcome(getattr(state, method))
    else:
        want = model.outcome(getattr(state, method), *args, **kwargs)
    before = seg.bytes()
    got = model.outcome(getattr(obj, method), *args, **kwargs)
    what = f"{type(obj).__name__}.{method}(*{args!r}, **{kwargs!r})"
    model.check(what, want, got)
    after = seg.bytes()
    expected = bytes(state.seg) if obj is _ring else b"\0\0\0\0" + bytes(state.data)
    if after != expected:
        change = "changed" if after != before else "did not change"
        raise model.Mismatch(f"{what}: the segment {change} and differs from the model's")
    if obj is _view and _view.tell() != state.cursor:
        raise model.Mismatch(f"{what}: cursor {_view.tell()}, expected {state.cursor}")
    if got[0] == "raised" and (isinstance(got[1], SystemError) or type(got[1]).__name__ == "InternalError"):
        raise model.Mismatch(f"{what}: internal failure {got[1]!r}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
