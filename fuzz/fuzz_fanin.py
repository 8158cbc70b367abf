#!/usr/bin/env python3
"""Fuzzer: MpscRingBuffer.open on forged fan-in headers, then pop / pop(tag)
/ pop_mixed / pop_many / push and the queries on forged lanes, checked
against the fan-in model.

Each input makes a segment (mostly the size a producer count and lane
capacity call for, sometimes a little more or less), forges its 128-byte
header (magic, layout version, producer count, lane capacity, doorbell and
sleep mark: mostly valid, sometimes anything) and every lane (header and
data, as the ring fuzzer forges a ring) through a second mapping, then opens
it by name: a refused header must be refused with the model's text; an
accepted one runs a few operations, whose results and errors must be the
model's, and after each the whole segment must hold exactly the model's
bytes. Nothing may be read or written outside the mapping (the extension is
built with AddressSanitizer).

    python fuzz/fuzz_fanin.py [libFuzzer options] [corpus dirs or files]
"""
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

import velmora  # noqa: E402

LANE_CAPACITIES = (1, 4, 8, 16, 64, 128)
CAPACITIES = (0, 1, 2, 4, 8, 16, 32, 64, 128, 256)  # a lane header's capacity word
OPS = ("pop", "pop_tag", "pop_mixed", "pop_many", "push", "query")
QUERIES = ("used", "capacity", "free", "is_empty")


def forge_header(fdp, producers, capacity):
    """The fan-in header: mostly the values the segment was sized for."""
    magic = model.FANIN_MAGIC if fdp.ConsumeIntInRange(0, 15) else common.u64_near(fdp)
    version = 1 if fdp.ConsumeIntInRange(0, 15) else fdp.ConsumeIntInRange(0, (1 << 32) - 1)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        producers = common.pick(fdp, [0, producers + 1, model.FANIN_MAX_PRODUCERS + 1, (1 << 32) - 1,
                                      fdp.ConsumeIntInRange(0, (1 << 32) - 1)])
    if fdp.ConsumeIntInRange(0, 7) == 0:
        capacity = common.pick(fdp, [0, 3, capacity * 2, 1 << 63, common.u64_near(fdp)])
    bell, sleeping = fdp.ConsumeIntInRange(0, (1 << 32) - 1), fdp.ConsumeIntInRange(0, 2)
    head = struct.pack("<QIIQ", magic, version, producers, capacity).ljust(64, b"\0")
    return head + struct.pack("<II", bell, sleeping).ljust(64, b"\0")


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    producers = fdp.ConsumeIntInRange(1, 3)
    capacity = common.pick(fdp, LANE_CAPACITIES)
    size = model.fanin_size(capacity, producers)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        size = max(1, size + fdp.ConsumeIntInRange(-100, 100))
    seg = common.Segment(size, "fanin")
    try:
        buf = bytearray(size)
        buf[:min(size, 128)] = forge_header(fdp, producers, capacity)[:size]
        stride = (24 + capacity + 63) // 64 * 64
        for k in range(producers):
            at = model.FANIN_HEADER + k * stride
            if at + 24 + capacity > size:
                break
            header, body = common.ring_bytes(fdp, capacity, CAPACITIES)
            buf[at:at + 24 + capacity] = header + body
        seg.buf[:size] = bytes(buf)
        want = model.outcome(model.FaninModel, seg.bytes(), seg.name)
        got = model.outcome(velmora.MpscRingBuffer.open, seg.name)
    finally:
        seg.unlink()
    what = f"open of a {size}-byte segment, header {bytes(buf[:32]).hex()}"
    if want[0] == "raised" or got[0] == "raised":
        if got[0] == "ok":
            got[1].close()
        seg.close()
        model.check(what, want, got)
        return
    fanin, ring = want[1], got[1]
    try:
        for step in range(fdp.ConsumeIntInRange(1, 8)):
            name, args = common.ring_call(fdp, OPS, QUERIES)
            want = model.outcome(getattr(fanin, name), *args)
            got = model.outcome(getattr(ring, name), *args)
            model.check(f"{what}: step {step}: {name}{args!r}", want, got)
            if seg.bytes() != fanin.bytes():
                raise model.Mismatch(f"{what}: step {step}: {name}{args!r}: the segment differs from the "
                                     f"model's afterwards")
    finally:
        ring.close()
        seg.close()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
