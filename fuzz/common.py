"""Helpers shared by the fuzzers: segments with a second, standard-library
mapping to forge bytes behind the module's back, and value and schema
generators driven by atheris' FuzzedDataProvider."""
import os
import struct
import sys
import uuid
from multiprocessing import resource_tracker, shared_memory

import velmora

SM = velmora.SharedMemory
TAG_NAMES = ["bool", "u8", "i32", "u32", "int", "i64", "u64", "f32", "float", "f64", "str"]
BAD_TAGS = ["", "Int", "i16", "str ", "bool\0", "\u00e9", "double"]


def fresh_name(tag):
    return f"/velmora-fuzz-{tag}-{os.getpid()}-{uuid.uuid4().hex[:8]}"


def remove_quietly(name):
    try:
        SM.remove(name)
    except OSError:
        pass


class Segment:
    """A fresh segment, its velmora handle and a raw mapping. libFuzzer ends
    the process without running Python's exit handlers, so the name is
    removed at once (`unlink()`) once whatever needs it has opened it."""

    def __init__(self, size, tag):
        self.name = fresh_name(tag)
        self.shm = SM.create(self.name, size)
        if sys.version_info >= (3, 13):
            self.raw = shared_memory.SharedMemory(name=self.name[1:], create=False, track=False)
        else:
            self.raw = shared_memory.SharedMemory(name=self.name[1:], create=False)
            resource_tracker.unregister(self.raw._name, "shared_memory")
        self.buf = self.raw.buf
        self.size = size

    def bytes(self):
        return bytes(self.buf[:self.size])

    def unlink(self):
        remove_quietly(self.name)

    def close(self):
        """Unmaps both mappings (the name may be gone already)."""
        self.buf = None
        self.raw.close()
        self.shm.close()


class Existing(Segment):
    """A raw mapping of a segment someone else made (`name`), to forge its bytes."""

    def __init__(self, name):
        self.name = name
        if sys.version_info >= (3, 13):
            self.raw = shared_memory.SharedMemory(name=name[1:], create=False, track=False)
        else:
            self.raw = shared_memory.SharedMemory(name=name[1:], create=False)
            resource_tracker.unregister(self.raw._name, "shared_memory")
        self.buf = self.raw.buf
        self.size = self.raw.size

    def close(self):
        self.buf = None
        self.raw.close()


def pick(fdp, seq):
    return seq[fdp.ConsumeIntInRange(0, len(seq) - 1)]


def u64_near(fdp):
    """A u64 around one of the interesting places: 0, 2^63, 2^64, or anywhere."""
    kind = fdp.ConsumeIntInRange(0, 3)
    small = fdp.ConsumeIntInRange(0, 300)
    if kind == 0:
        return small
    if kind == 1:
        return (1 << 64) - 1 - small
    if kind == 2:
        return (1 << 63) - 150 + small
    return fdp.ConsumeIntInRange(0, (1 << 64) - 1)


def tag(fdp):
    if fdp.ConsumeIntInRange(0, 15) == 0:
        return pick(fdp, BAD_TAGS)
    return pick(fdp, TAG_NAMES)


def value(fdp, depth=0):
    """A value of any kind write() and push() take, and a few they refuse."""
    kind = fdp.ConsumeIntInRange(0, 11 if depth == 0 else 10)
    if kind == 0:
        return fdp.ConsumeBool()
    if kind == 1:
        return fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1)
    if kind == 2:
        return fdp.ConsumeIntInRange(-(1 << 65), 1 << 65)  # sometimes too large for i64
    if kind == 3:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind in (4, 5):
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))
    if kind in (6, 7):
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind == 8:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12)))
    if kind == 9:
        # Refused or unencodable. (No buffer objects: which of them a value may be
        # is growing, and the model only knows bytes and bytearray.)
        return pick(fdp, [None, 1j, {}, (1,), range(2), "\ud800"])
    if kind == 10:
        return fdp.ConsumeIntInRange(0, 255)
    return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def schema(fdp):
    """Mostly well-formed (tag, count) lists, now and then a bad entry."""
    out = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        kind = fdp.ConsumeIntInRange(0, 31)
        count = fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            out.append(pick(fdp, [[tag(fdp), 1], (), (tag(fdp),), "i64", None]))
        elif kind == 1:
            out.append((tag(fdp), pick(fdp, [-1, 1 << 64, 1.0, True, "1", None, (1 << 64) - 1])))
        elif kind == 2:
            out.append((pick(fdp, [None, b"i64", 3]), count))
        elif kind == 3:
            out.append((tag(fdp), count, "extra"))
        else:
            out.append((tag(fdp), count))
    return out


# ---- a ring's bytes (SpscRingBuffer, and each lane of a fan-in ring) -------------------

U64 = 1 << 64


def ring_header(fdp, room, capacities):
    """(head, tail, capacity): mostly a valid header (a power-of-two capacity
    that fits, counters at most capacity apart), otherwise anything."""
    head = u64_near(fdp)
    if fdp.ConsumeIntInRange(0, 4) == 0:
        cap = pick(fdp, [fdp.ConsumeIntInRange(0, 600), u64_near(fdp)] + list(capacities))
        apart = u64_near(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 600)
    else:
        cap = pick(fdp, [c for c in capacities if 0 < c <= room] or [room])
        apart = fdp.ConsumeIntInRange(0, cap)
    return head, (head + apart) % U64, cap


def ring_data(fdp, room, cap, head, tail):
    """Random bytes; in a valid header's published range, mostly a chain of
    frames whose length prefixes fit (the last one sometimes not)."""
    data = bytearray(fdp.ConsumeBytes(room).ljust(room, b"\0"))
    used = (tail - head) % U64
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


def ring_bytes(fdp, room, capacities):
    """A forged ring header (24 bytes) and data area (`room` bytes)."""
    head, tail, cap = ring_header(fdp, room, capacities)
    return struct.pack("<QQQ", head, tail, cap), ring_data(fdp, room, cap, head, tail)


def ring_call(fdp, ops, queries):
    """(method name, args) of one ring call: an op of `ops` (pop, pop_tag,
    pop_mixed, pop_many, push, query) with generated arguments."""
    op = pick(fdp, ops)
    if op == "pop":
        return "pop", ()
    if op == "pop_tag":
        return "pop", (tag(fdp),)
    if op == "pop_mixed":
        return "pop_mixed", (schema(fdp),)
    if op == "pop_many":
        count = fdp.ConsumeIntInRange(0, 5)
        return "pop_many", ((count, tag(fdp)) if fdp.ConsumeBool() else (count,))
    if op == "push":
        return "push", (value(fdp),)
    return pick(fdp, queries), ()


# ---- a segment of producer lanes (MpscRingBuffer, MpmcRingBuffer) ---------------------------

LANE_CAPACITIES = (1, 4, 8, 16, 64, 128)
LANE_RING_CAPACITIES = (0, 1, 2, 4, 8, 16, 32, 64, 128, 256)  # a lane header's capacity word
LANE_OPS = ("pop", "pop_tag", "pop_mixed", "pop_many", "push", "query")
LANE_QUERIES = ("used", "capacity", "free", "is_empty")


def lanes_header(fdp, model, kind_model, producers, capacity, kind_words):
    """A lane kind's 128-byte header: mostly the values the segment was sized
    for. `kind_words(fdp)` gives {offset: bytes} for the kind's own words,
    forged after the shared ones."""
    magic = kind_model.KIND.magic if fdp.ConsumeIntInRange(0, 15) else u64_near(fdp)
    version = kind_model.KIND.version if fdp.ConsumeIntInRange(0, 15) else fdp.ConsumeIntInRange(0, (1 << 32) - 1)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        producers = pick(fdp, [0, producers + 1, model.LANES_MAX_PRODUCERS + 1, (1 << 32) - 1,
                               fdp.ConsumeIntInRange(0, (1 << 32) - 1)])
    if fdp.ConsumeIntInRange(0, 7) == 0:
        capacity = pick(fdp, [0, 3, capacity * 2, 1 << 63, u64_near(fdp)])
    bell, sleeping = fdp.ConsumeIntInRange(0, (1 << 32) - 1), fdp.ConsumeIntInRange(0, 2)
    head = bytearray(model.LANES_HEADER)
    struct.pack_into("<Q", head, 0, magic)
    struct.pack_into("<I", head, model.LANES_VERSION_AT, version)
    struct.pack_into("<I", head, model.LANES_PRODUCERS_AT, producers)
    struct.pack_into("<Q", head, model.LANES_CAPACITY_AT, capacity)
    struct.pack_into("<II", head, model.LANES_DOORBELL, bell, sleeping)
    for at, word in kind_words(fdp).items():
        head[at:at + len(word)] = word
    return bytes(head)


def lanes_case(fdp, model, kind_model, opener, tag, kind_words=lambda fdp: {}):
    """One input of a lane kind's fuzzer: a segment (mostly the size a
    producer count and lane capacity call for, sometimes a little more or
    less) with a forged header and forged lanes, opened by name: a refusal
    must be the model's; an accepted one runs a few calls, whose results and
    errors must be the model's, and after each the whole segment must hold
    exactly the model's bytes."""
    producers = fdp.ConsumeIntInRange(1, 3)
    capacity = pick(fdp, LANE_CAPACITIES)
    size = model.lanes_size(capacity, producers)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        size = max(1, size + fdp.ConsumeIntInRange(-100, 100))
    seg = Segment(size, tag)
    try:
        buf = bytearray(size)
        buf[:min(size, model.LANES_HEADER)] = lanes_header(fdp, model, kind_model, producers, capacity,
                                                           kind_words)[:size]
        stride = (model.RING_HEADER + capacity + 63) // 64 * 64
        for k in range(producers):
            at = model.LANES_HEADER + k * stride
            if at + model.RING_HEADER + capacity > size:
                break
            header, body = ring_bytes(fdp, capacity, LANE_RING_CAPACITIES)
            buf[at:at + model.RING_HEADER + capacity] = header + body
        seg.buf[:size] = bytes(buf)
        want = model.outcome(kind_model, seg.bytes(), seg.name)
        got = model.outcome(opener, seg.name)
    finally:
        seg.unlink()
    what = f"open of a {size}-byte segment, header {bytes(buf[:36]).hex()}"
    if want[0] == "raised" or got[0] == "raised":
        if got[0] == "ok":
            got[1].close()
        seg.close()
        model.check(what, want, got)
        return
    lanes, ring = want[1], got[1]
    try:
        for step in range(fdp.ConsumeIntInRange(1, 8)):
            name, args = ring_call(fdp, LANE_OPS, LANE_QUERIES)
            want = model.outcome(getattr(lanes, name), *args)
            got = model.outcome(getattr(ring, name), *args)
            model.check(f"{what}: step {step}: {name}{args!r}", want, got)
            if seg.bytes() != lanes.bytes():
                raise model.Mismatch(f"{what}: step {step}: {name}{args!r}: the segment differs from the "
                                     f"model's afterwards")
    finally:
        ring.close()
        seg.close()
