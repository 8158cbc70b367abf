#!/usr/bin/env python3
"""Fuzzer: MappedView read / read_mixed / read_range (and write, write_mixed,
seek) on random bytes, checked against an independent decoder built on
struct (fuzz/model.py).

Each input fills the data area of one of several views with random bytes
(often with plausible str length prefixes), puts the cursor somewhere, then
runs a few operations. Every value and every error must be the model's, the
cursor must move exactly as the model's, and afterwards the data area must
hold exactly the model's bytes and the lock word must be back at 0.

    python fuzz/fuzz_view.py [libFuzzer options] [corpus dirs or files]
"""
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

SIZES = (1, 3, 8, 29, 64, 300)   # data areas
VIEWS = {}
READS = ("read", "read", "read_mixed", "read_mixed", "read_range", "read_all")
WRITES = ("write", "write_mixed", "seek", "tell", "zero")


def view(size):
    if size not in VIEWS:
        seg = common.Segment(4 + size, "view")
        VIEWS[size] = (seg, seg.shm.map())
        seg.unlink()
    return VIEWS[size]


def fill(fdp, size):
    data = bytearray(fdp.ConsumeBytes(size).ljust(size, b"\0"))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):  # str counts that may or may not fit
        at = fdp.ConsumeIntInRange(0, size - 1)
        n = fdp.ConsumeIntInRange(0, size + 2) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 0xFFFFFFFF)
        chunk = struct.pack("<I", n)[:size - at]
        data[at:at + len(chunk)] = chunk
    return bytes(data)


def position(fdp, size):
    """An offset or length: mostly in or near the area, sometimes anywhere in u64."""
    if fdp.ConsumeIntInRange(0, 9) == 0:
        return common.u64_near(fdp)
    return fdp.ConsumeIntInRange(0, size + 2)


def arguments(fdp, op, size):
    offset = [] if fdp.ConsumeBool() else [position(fdp, size) if fdp.ConsumeIntInRange(0, 5) else None]
    if op == "read":
        return (common.tag(fdp),)
    if op == "read_mixed":
        return (common.schema(fdp), *offset)
    if op == "read_range":
        return (position(fdp, size), position(fdp, size))
    if op == "write":
        return (common.value(fdp, depth=1), *offset)
    if op == "write_mixed":
        return ([common.value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))], *offset)
    if op == "seek":
        return () if fdp.ConsumeIntInRange(0, 4) == 0 else (position(fdp, size),)
    return ()


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    size = common.pick(fdp, SIZES)
    seg, v = view(size)
    seg.buf[4:4 + size] = fill(fdp, size)
    cursor = fdp.ConsumeIntInRange(0, size)
    v.seek(cursor)
    view_model = model.ViewModel(seg.buf[4:4 + size], cursor)
    for step in range(fdp.ConsumeIntInRange(1, 6)):
        op = common.pick(fdp, READS if fdp.ConsumeIntInRange(0, 3) else WRITES)
        args = arguments(fdp, op, size)
        want = model.outcome(getattr(view_model, op), *args)
        got = model.outcome(getattr(v, op), *args)
        what = f"step {step}: {op}{args!r} at cursor {cursor} on {size} bytes {bytes(view_model.data)[:40].hex()}"
        model.check(what, want, got)
        cursor = view_model.cursor
        if v.tell() != view_model.cursor:
            raise model.Mismatch(f"{what}: cursor {v.tell()}, expected {view_model.cursor}")
        if bytes(seg.buf[4:4 + size]) != bytes(view_model.data):
            raise model.Mismatch(f"{what}: data area differs from the model's afterwards")
        if bytes(seg.buf[0:4]) != b"\0\0\0\0":
            raise model.Mismatch(f"{what}: lock word {bytes(seg.buf[0:4]).hex()} after the call")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
