#!/usr/bin/env python3
"""Fuzzer: SpscRingBuffer pop / pop(tag) / pop_mixed (and push and the
queries) on forged headers and data, checked against the ring model.

Each input forges a ring header (capacity, head, tail: anything, though
mostly close to valid ones) and the data area of one of several segments,
through a second mapping, then runs a few operations on an opener's ring.
Every result and every error must be the model's, and after each operation
the whole segment must hold exactly the model's bytes: nothing written
outside the frame, nothing left unconsumed, no counter moved wrongly.

    python fuzz/fuzz_ring.py [libFuzzer options] [corpus dirs or files]
"""
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import SM  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

ROOMS = (1, 8, 13, 64, 100, 256)   # data areas: powers of two and not
CAPACITIES = (0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512)
SEGMENTS = {}
OPS = ("pop", "pop_tag", "pop_mixed", "push", "query")
QUERIES = ("used", "capacity", "free", "is_empty", "is_full")


def segment(room):
    if room not in SEGMENTS:
        seg = common.Segment(24 + room, "ring")
        SEGMENTS[room] = (seg, SM.open(seg.name))  # an opener leaves the header alone
        seg.unlink()
    return SEGMENTS[room]


def forge_header(fdp, room):
    """Mostly a valid header (a power-of-two capacity that fits, counters at
    most capacity apart), otherwise anything."""
    head = common.u64_near(fdp)
    if fdp.ConsumeIntInRange(0, 4) == 0:
        cap = common.pick(fdp, [fdp.ConsumeIntInRange(0, 600), common.u64_near(fdp)] + list(CAPACITIES))
        apart = common.u64_near(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 600)
    else:
        cap = common.pick(fdp, [c for c in CAPACITIES if 0 < c <= room])
        apart = fdp.ConsumeIntInRange(0, cap)
    return head, (head + apart) % model.U64, cap


def forge_data(fdp, room, cap, head, tail):
    """Random bytes; in a valid header's published range, mostly a chain of
    frames whose length prefixes fit (the last one sometimes not)."""
    data = bytearray(fdp.ConsumeBytes(room).ljust(room, b"\0"))
    used = (tail - head) % model.U64
    if not (0 < cap <= room and cap & (cap - 1) == 0 and used <= cap) or fdp.ConsumeIntInRange(0, 5) == 0:
        return bytes(data)
    pos, left = head, used
    while left >= 4:
        if fdp.ConsumeIntInRange(0, 7) == 0:
            n = fdp.ConsumeIntInRange(0, 0xFFFFFFFF)  # a prefix that may not fit
        else:
            n = fdp.ConsumeIntInRange(0, left - 4)
        for i, b in enumerate(struct.pack("<I", n)):
            data[(pos + i) % cap] = b
        pos, left = pos + 4 + n, left - 4 - min(n, left - 4)
    return bytes(data)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    room = common.pick(fdp, ROOMS)
    seg, opener = segment(room)
    head, tail, cap = forge_header(fdp, room)
    seg.buf[0:24] = struct.pack("<QQQ", head, tail, cap)
    seg.buf[24:24 + room] = forge_data(fdp, room, cap, head, tail)
    # A ring object caches what it validated (capacity, the other side's
    # counter) between calls, so a header forged under a live object is only
    # looked at again when that cache runs dry; a fresh opener per input reads
    # the forged header on its first call, as the model does.
    ring = opener.spsc()
    ring_model = model.RingModel(seg.bytes())
    for step in range(fdp.ConsumeIntInRange(1, 8)):
        op = common.pick(fdp, OPS)
        if op == "pop":
            args, name = (), "pop"
        elif op == "pop_tag":
            args, name = (common.tag(fdp),), "pop"
        elif op == "pop_mixed":
            args, name = (common.schema(fdp),), "pop_mixed"
        elif op == "push":
            args, name = (common.value(fdp),), "push"
        else:
            args, name = (), common.pick(fdp, QUERIES)
        want = model.outcome(getattr(ring_model, name), *args)
        got = model.outcome(getattr(ring, name), *args)
        what = f"step {step}: {name}{args!r} on head={head} tail={tail} capacity={cap} room={room}"
        model.check(what, want, got)
        if seg.bytes() != bytes(ring_model.seg):
            raise model.Mismatch(f"{what}: the segment differs from the model's afterwards: "
                                 f"{seg.bytes()[:48].hex()} != {bytes(ring_model.seg)[:48].hex()}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
