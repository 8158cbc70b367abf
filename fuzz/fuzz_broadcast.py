#!/usr/bin/env python3
"""Fuzzer: Subscriber.receive / receive_view on broadcast segments whose
index, slot descriptors and published count were forged, checked against the
broadcast model.

Each input picks a configuration (block or overwrite, depth, slot size),
publishes a few real messages (bytes, and arrays given as memoryviews with a
format and shape), then rewrites bytes through a second mapping: mostly
plausible values (a descriptor's length, dimensions, item size, format or
shape, or a whole descriptor whose format may hold objects or pointers or
items of another size; an index entry; the published count; a slot's
sequence number), sometimes anything. Then a few receives run on a subscriber that joined
before: every result and error must be the model's, the subscriber must never
touch a byte outside its own entry, and nothing is read outside the mapping
(the extension is built with AddressSanitizer).

    python fuzz/fuzz_broadcast.py [libFuzzer options] [corpus dirs or files]
"""
import array
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
with atheris.instrument_imports(include=["model"]):
    import model

import velmora  # noqa: E402

def _exports_buffers():
    """Whether this build's views carry format and shape (the buffer protocol
    of 3.11+); without it a view is cast where memoryview can, else left as
    bytes, and only its bytes are compared."""
    name = common.fresh_name("probe")
    try:
        view = common.SM.create(name, 64).map()
        try:
            memoryview(view).release()
            return True
        except TypeError:
            return False
        finally:
            view.close()
    finally:
        common.remove_quietly(name)


EXPORTS = _exports_buffers()
CONFIGS = [(block, depth, size) for block in (True, False) for depth in (1, 2, 4) for size in (64, 200)]
FORMATS = [b"B", b"<i", b"d", b"", b"B" * 16, b"xx\0yy", b"<H", b"T{<i:a:}",
           # objects and pointers, items of another size than the descriptor's, sizes readers disagree on
           b"O", b"P", b"&d", b"T{d:a:O:b:}", b"Zd", b"10s", b"3w", b"(2,3)h", b"T{d:x:i:y:}", b"T{=d:x:@i:y:}",
           b"<n", b"dB", b"Bd", b"i2", b"T{", b"d:x", b"4294967296B"]
ITEMSIZES = [1, 2, 4, 8, 9, 12, 16, 24]


def payload(fdp, limit):
    if fdp.ConsumeBool():
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, limit))
    items = fdp.ConsumeIntInRange(0, limit // 8)
    data = array.array("d", [float(i) for i in range(items)])
    if items and items % 2 == 0 and fdp.ConsumeBool():
        return memoryview(data).cast("B").cast("d", [2, items // 2])
    return data


def forge(fdp, seg, m):
    """One rewrite of the segment's bytes (`m`: the model, for the geometry)."""
    kind = fdp.ConsumeIntInRange(0, 8)
    s = fdp.ConsumeIntInRange(0, m.slot_count - 1)
    d = m.descriptors_at + s * m.DESCRIPTOR
    if kind == 0:
        struct.pack_into("<Q", seg.buf, d + 8, common.pick(fdp, [fdp.ConsumeIntInRange(0, 300), common.u64_near(fdp)]))
    elif kind == 1:
        struct.pack_into("<II", seg.buf, d + 16, fdp.ConsumeIntInRange(0, 10), fdp.ConsumeIntInRange(0, 9))
    elif kind == 2:
        fmt = common.pick(fdp, FORMATS).ljust(16, b"\0")[:16]
        seg.buf[d + 24:d + 40] = fmt
    elif kind == 3:
        struct.pack_into("<Q", seg.buf, d + 40 + 8 * fdp.ConsumeIntInRange(0, 7),
                         common.pick(fdp, [fdp.ConsumeIntInRange(0, 300), common.u64_near(fdp)]))
    elif kind == 4:
        struct.pack_into("<I", seg.buf, m.index_at + 4 * fdp.ConsumeIntInRange(0, m.depth - 1),
                         common.pick(fdp, [fdp.ConsumeIntInRange(0, m.slot_count + 2), 0xFFFFFFFF]))
    elif kind == 5:
        (w,) = struct.unpack_from("<Q", seg.buf, 64)
        struct.pack_into("<Q", seg.buf, 64, (w + fdp.ConsumeIntInRange(-3, 12)) % model.U64)
    elif kind == 6:
        (seq,) = struct.unpack_from("<Q", seg.buf, d)
        struct.pack_into("<Q", seg.buf, d, (seq + fdp.ConsumeIntInRange(-2, 2)) % model.U64)
    elif kind == 8:
        # a whole descriptor, its length what its shape says, so only the
        # format and the item size are wrong (or none of it is)
        fmt = common.pick(fdp, FORMATS + [fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 15))])
        itemsize = common.pick(fdp, ITEMSIZES + [fdp.ConsumeIntInRange(0, 64)])
        ndim = fdp.ConsumeIntInRange(0, 3)
        shape = [fdp.ConsumeIntInRange(0, 4) for _ in range(ndim)]
        length = itemsize
        for x in shape:
            length *= x
        seg.buf[d + 24:d + 40] = fmt.ljust(16, b"\0")[:16]
        struct.pack_into("<QII", seg.buf, d + 8, length, ndim, itemsize)
        struct.pack_into(f"<{ndim}Q", seg.buf, d + 40, *shape)
    else:
        at = fdp.ConsumeIntInRange(m.index_at, seg.size - 1)
        raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 16))
        seg.buf[at:at + len(raw)] = raw[:seg.size - at]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    block, depth, size = common.pick(fdp, CONFIGS)
    name = common.fresh_name("bcast")
    pub = velmora.Publisher.create(name, size, depth, subscribers=2, overflow="block" if block else "overwrite")
    try:
        sub = velmora.Subscriber.open(name)  # joined before every publish: its cursor is 0
        seg = common.Existing(name)
        common.remove_quietly(name)
        for _ in range(fdp.ConsumeIntInRange(0, depth)):
            try:
                pub.publish(payload(fdp, size), timeout=0)
            except Exception:  # noqa: BLE001 - full, or too large: not what is fuzzed here
                pass
        sub_model = model.BroadcastModel(bytearray(seg.bytes()), 0)
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            forge(fdp, seg, sub_model)
        entry = sub_model.entries_at  # the subscriber's own entry (the first)
        for step in range(fdp.ConsumeIntInRange(1, 4)):
            before = seg.bytes()
            sub_model.seg = bytearray(before)
            view = fdp.ConsumeBool()
            if view:
                want = model.outcome(sub_model.receive_view)

                def real():
                    with sub.receive_view(timeout=0) as mv:
                        return bytes(mv), mv.format, tuple(mv.shape)
                got = model.outcome(real)
                if not EXPORTS:
                    want, got = [(kind, v[0] if kind == "ok" else v) for kind, v in (want, got)]
            else:
                want = model.outcome(sub_model.receive)
                got = model.outcome(sub.receive, timeout=0)
            model.check(f"step {step}: {'receive_view' if view else 'receive'} ({'block' if block else 'overwrite'}, "
                        f"depth {depth})", want, got)
            after = seg.bytes()
            if before[:entry] != after[:entry] or before[entry + 64:] != after[entry + 64:]:
                raise model.Mismatch("the subscriber wrote outside its entry")
            if sub.missed() != sub_model.missed:
                raise model.Mismatch(f"missed() {sub.missed()} != {sub_model.missed}")
        seg.close()
        sub.close()
    finally:
        pub.close()
        common.remove_quietly(name)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
