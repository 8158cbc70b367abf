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


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    room = common.pick(fdp, ROOMS)
    seg, opener = segment(room)
    header, body = common.ring_bytes(fdp, room, CAPACITIES)
    head, tail, cap = struct.unpack("<QQQ", header)
    seg.buf[0:24] = header
    seg.buf[24:24 + room] = body
    # A ring object caches what it validated (capacity, the other side's
    # counter) between calls, so a header forged under a live object is only
    # looked at again when that cache runs dry; a fresh opener per input reads
    # the forged header on its first call, as the model does.
    ring = opener.spsc()
    ring_model = model.RingModel(seg.bytes())
    for step in range(fdp.ConsumeIntInRange(1, 8)):
        name, args = common.ring_call(fdp, OPS, QUERIES)
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
