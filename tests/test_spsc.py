"""SpscRingBuffer in one process: payload forms, back-pressure, attach rules,
failures that consume or keep a message, and headers and frames forged
through a second mapping (no peer is active while they are forged)."""
import gc
import random
import struct
import sys

import pytest

import velmora
from conftest import UNDER_ASAN, second_mapping

SM = velmora.SharedMemory
HEADER = 24
PAD = " "


def too_large(frame_len, capacity, map_size):
    largest = f"the largest payload is {capacity - 4} bytes" if capacity >= 4 else "no message fits"
    return f"message too large: frame_len={frame_len} > capacity={capacity}{PAD}(map_size={map_size}); {largest}"


class RawRing:
    """The segment as the standard library maps it, to forge and inspect the
    header and data area behind the rings' back."""

    def __init__(self, name):
        self._shm = second_mapping(name)

    @property
    def header(self):
        return struct.unpack_from("=QQQ", self._shm.buf, 0)

    def forge(self, head, tail, capacity):
        struct.pack_into("=QQQ", self._shm.buf, 0, head, tail, capacity)

    def data(self, start=0, end=None):
        return bytes(self._shm.buf[HEADER + start:None if end is None else HEADER + end])

    def poke(self, offset, payload):
        self._shm.buf[HEADER + offset:HEADER + offset + len(payload)] = payload

    def close(self):
        self._shm.close()


def make_ring(name, capacity=4096):
    return SM.create(name, HEADER + capacity).spsc()


@pytest.fixture
def ring(seg_name):
    return make_ring(seg_name)


@pytest.fixture
def raw(seg_name, ring):
    r = RawRing(seg_name)
    yield r
    r.close()


# ---- a new ring -----------------------------------------------------------------

def test_new_ring_is_empty(ring):
    assert str(ring) == repr(ring) == "SpscRingBuffer(capacity=4096, used=0, free=4096)"
    assert (ring.is_empty(), ring.is_full(), ring.used(), ring.capacity()) == (True, False, 0, 4096)
    assert ring.pop() is None
    assert ring.pop("int") is None
    assert ring.pop("nonsense") is None
    assert ring.pop_mixed([("i64", 1)]) is None


# ---- payload forms ----------------------------------------------------------------

class SubList(list):
    pass


@pytest.mark.parametrize("data, pop_args, expected, used", [
    (b"abc", (), b"abc", 7),
    (b"", (), b"", 4),
    (bytearray(b"xy"), (), b"xy", 6),
    ("hi", (), b"\x02\x00\x00\x00hi", 10),
    ("hi", ("str",), "hi", 10),
    ("\u00e9\u20ac", ("str",), "\u00e9\u20ac", 4 + 4 + 5),
    (True, ("bool",), True, 5),
    (1, ("u8",), 1, 12),               # the other 7 bytes are dropped
    (-5, ("int",), -5, 12),
    (2**63 - 1, ("i64",), 2**63 - 1, 12),
    (2.5, ("f64",), 2.5, 12),
    ([], (), b"", 4),
    ([1, 2.5, "x"], (), struct.pack("<qd", 1, 2.5) + b"\x01\x00\x00\x00x", 4 + 21),
    (SubList([7]), ("int",), 7, 12),
    ("hi", (None,), b"\x02\x00\x00\x00hi", 10),
])
def test_push_pop_round_trip(any_ring, data, pop_args, expected, used):
    ring = any_ring
    assert ring.push(data) is True
    assert ring.used() == used
    got = ring.pop(*pop_args)
    assert type(got) is type(expected) and got == expected
    assert ring.is_empty() and ring.pop() is None


def test_keywords_and_mixed_schema(any_ring):
    ring = any_ring
    assert ring.push(data=[1, 2.5, "x", True])
    assert ring.pop_mixed(schema=[("i64", 1), ("f64", 1), ("str", 1), ("bool", 1)]) == [1, 2.5, "x", True]
    assert ring.push([])
    assert ring.push(b"next")
    assert ring.pop_mixed([]) == []          # consumes exactly one message
    assert ring.pop(tag=None) == b"next"


def test_used_tracks_queued_frames(ring):
    assert ring.push(b"12345") and ring.push("ab")
    assert ring.used() == 9 + 10
    assert ring.pop() == b"12345"
    assert ring.used() == 10 and ring.free() == 4086


# ---- failures that leave the ring as it was ------------------------------------------

@pytest.mark.parametrize("call, exc, match", [
    (lambda r: r.push(None), ValueError, "unsupported type 'NoneType'"),
    (lambda r: r.push((1, 2)), ValueError, "unsupported type 'tuple'"),
    (lambda r: r.push([[1]]), ValueError, "unsupported type 'list'"),
    (lambda r: r.push([1, memoryview(b"x")]), ValueError, "unsupported type 'memoryview'"),
    (lambda r: r.push(2**64), OverflowError, None),
    (lambda r: r.push(["ok", "\ud800"]), UnicodeEncodeError, None),
    (lambda r: r.push(b"x" * 4093), ValueError, "^" + too_large(4097, 4096, 4120).replace("(", r"\(").replace(")", r"\)") + "$"),
    (lambda r: r.push(), TypeError, r"^SpscRingBuffer.push\(\) missing 1 required positional argument: 'data'$"),
    (lambda r: r.pop(5), TypeError, "^argument 'tag': 'int' object is not an instance of 'str'$"),
    (lambda r: r.pop(b"str"), TypeError, "^argument 'tag': "),
    (lambda r: r.pop("str", 1), TypeError, r"^SpscRingBuffer.pop\(\) takes from 0 to 1 positional arguments but 2 were given$"),
    (lambda r: r.pop(tg="str"), TypeError, "unexpected keyword argument 'tg'"),
    (lambda r: r.pop_mixed(("i64", 1)), TypeError, "^argument 'schema': "),
    (lambda r: r.pop_mixed(None), TypeError, "^argument 'schema': "),
])
@pytest.mark.parametrize("queued", [False, True], ids=["empty", "queued"])
def test_refused_calls_change_nothing(ring, raw, call, exc, match, queued):
    if queued:
        assert ring.push(b"keep me")
    before = raw.header, raw.data()
    with pytest.raises(exc, match=match):
        call(ring)
    assert (raw.header, raw.data()) == before
    assert ring.pop() == (b"keep me" if queued else None)


def test_encoding_fails_before_back_pressure(ring):
    assert ring.push(b"x" * 4092)
    assert ring.free() == 0 and ring.is_full()
    assert ring.push(b"") is False
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        ring.push(None)
    with pytest.raises(ValueError) as info:      # the size test comes before the space test
        ring.push(b"x" * 4093)
    assert str(info.value) == too_large(4097, 4096, 4120)


# ---- failures after the message is consumed ---------------------------------------

@pytest.mark.parametrize("payload, call, match", [
    (b"abc", lambda r: r.pop("str"), "^not enough data to read str length prefix$"),
    (b"abc", lambda r: r.pop("nonsense"), "^unknown type tag 'nonsense'"),
    (b"abc", lambda r: r.pop("i64"), "^not enough data to read 'i64': need 8, have 3$"),
    (b"abc", lambda r: r.pop_mixed([("i64", 1)]), "^out of bounds: "),
    (b"abc", lambda r: r.pop_mixed([("bogus", 1)]), "bogus"),
])
def test_decoding_failure_consumes_the_message(ring, payload, call, match):
    assert ring.push(payload) and ring.push(b"second")
    with pytest.raises(ValueError, match=match):
        call(ring)
    assert ring.pop() == b"second"
    assert ring.is_empty()


# ---- capacity 16: occupancy, back-pressure and the wrap -----------------------------

@pytest.mark.parametrize("payloads, used, free, full, next_empty_push", [
    ([12], 16, 0, True, False),
    ([9], 13, 3, False, False),
    ([11], 15, 1, False, False),
    ([0, 0, 0], 12, 4, False, True),
])
def test_small_ring_back_pressure(seg_name, payloads, used, free, full, next_empty_push):
    ring = make_ring(seg_name, 16)
    assert all(ring.push(b"p" * n) for n in payloads)
    assert (ring.used(), ring.free(), ring.is_full(), ring.is_empty()) == (used, free, full, False)
    assert ring.push(b"") is next_empty_push
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        ring.push(b"p" * 13)


def test_frame_wraps_inside_its_length_prefix(seg_name):
    ring = make_ring(seg_name, 16)
    raw = RawRing(seg_name)
    try:
        assert ring.push(b"A" * 10) and ring.pop() == b"A" * 10
        assert ring.push(b"abcdef")
        assert raw.data(14, 16) + raw.data(0, 2) == b"\x06\x00\x00\x00"
        assert raw.data(2, 8) == b"abcdef"
        assert ring.pop() == b"abcdef"
        assert raw.header == (24, 24, 16)
    finally:
        raw.close()


def test_counters_keep_working_past_two_to_the_64(ring, raw):
    start = 2**64 - 100
    raw.forge(start, start, 4096)
    sent = [bytes([i]) * (i * 7 % 40) for i in range(30)]
    for i, msg in enumerate(sent):
        assert ring.push(msg)
        if i % 4 == 3:
            assert [ring.pop() for _ in range(4)] == sent[i - 3:i + 1]
    assert [ring.pop() for _ in range(2)] == sent[28:]
    head, tail, _ = raw.header
    assert head == tail == (start + sum(len(m) + 4 for m in sent)) % 2**64
    assert tail < start and ring.is_empty()


# ---- attach -------------------------------------------------------------------------

@pytest.mark.parametrize("size, message", [
    (24, "map_size must be > 24 bytes (spsc header)"),
    (1, "map_size must be > 24 bytes (spsc header)"),
    (27, "capacity 3 (a 27-byte segment less the 24-byte header) is not a power of two; "
           "try capacity 2 or 4 (segments of 26 or 28 bytes)"),
    (100, "capacity 76 (a 100-byte segment less the 24-byte header) is not a power of two; "
           "try capacity 64 or 128 (segments of 88 or 152 bytes)"),
    (4096, "capacity 4072 (a 4096-byte segment less the 24-byte header) is not a power of two; "
            "try capacity 2048 or 4096 (segments of 2072 or 4120 bytes)"),
])
def test_creator_attach_refusals(seg_name, size, message):
    seg = SM.create(seg_name, size)
    with pytest.raises(ValueError) as info:
        seg.spsc()
    assert str(info.value) == message
    if size >= HEADER:  # the refused header was not written
        raw = RawRing(seg_name)
        assert raw.header == (0, 0, 0)
        raw.close()


def test_opener_attach(seg_name):
    creator = SM.create(seg_name, 100)
    with pytest.raises(ValueError):
        creator.spsc()
    ring = SM.open(seg_name).spsc()         # no check: the header was never written
    assert (ring.capacity(), ring.used(), ring.free(), ring.is_empty(), ring.is_full()) == (0, 0, 0, True, True)
    assert ring.pop() is None
    with pytest.raises(ValueError) as info:
        ring.push(b"")
    assert str(info.value) == too_large(4, 0, 100)
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        SM.open(seg_name, 24).spsc()


def test_capacity_one(seg_name):
    ring = SM.create(seg_name, 25).spsc()
    assert ring.capacity() == 1
    with pytest.raises(ValueError) as info:
        ring.push(b"")
    assert str(info.value) == too_large(4, 1, 25)


def test_opener_reads_the_creators_header_and_reset_reaches_everyone(seg_name):
    creator = SM.create(seg_name, 4120)
    opener = SM.open(seg_name)
    consumer = opener.spsc()
    producer = creator.spsc()
    assert consumer.capacity() == 4096
    assert producer.push(b"one") and producer.push(b"two")
    assert consumer.pop() == b"one"
    again = creator.spsc()                    # discards "two" for every ring
    for r in (producer, consumer, again):
        assert r.is_empty() and r.pop() is None and r.used() == 0


def test_ring_outlives_its_shared_memory(seg_name):
    seg = SM.create(seg_name, 4120)
    ring = seg.spsc()
    del seg
    gc.collect()
    assert ring.push("still here") and ring.pop("str") == "still here"


# ---- untrusted header and frames -------------------------------------------------------

# Every kind of corrupt header is checked natively (tests/native/test_ring.cpp);
# here, that each Python call refuses one, a bad capacity or bad counters.
@pytest.mark.parametrize("head, tail, capacity", [
    (0, 0, 8192),               # larger than this mapping
    (10, 6, 4096),              # tail behind head
])
def test_corrupt_header_raises_and_touches_nothing(ring, raw, head, tail, capacity):
    raw.forge(head, tail, capacity)
    before = raw.header, raw.data()
    for call in (lambda: ring.push(b"x"), ring.pop, lambda: ring.pop("str"), lambda: ring.pop_mixed([])):
        with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
            call()
    assert (raw.header, raw.data()) == before
    repr(ring), ring.is_full(), ring.is_empty()   # queries read header words only
    assert ring.free() == (capacity - ring.used() if ring.used() <= capacity else 0)


def test_opener_with_a_shorter_view_refuses_the_creators_capacity(seg_name):
    producer = make_ring(seg_name, 4096)
    short = SM.open(seg_name, HEADER + 1024).spsc()
    assert short.capacity() == 4096
    assert producer.push(b"hello")
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
        short.pop()
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
        short.push(b"x")
    assert producer.used() == 9


@pytest.mark.parametrize("tail, prefix, ok", [(8, 4, True), (8, 5, False)])  # the rest: native tests
def test_length_prefix_must_fit_what_was_published(ring, raw, tail, prefix, ok):
    raw.forge(100, 100 + tail, 4096)
    raw.poke(100, struct.pack("<I", prefix) + b"abcd")
    if ok:
        assert ring.pop() == b"abcd"[:prefix]
        return
    for call in (ring.pop, lambda: ring.pop("int"), lambda: ring.pop_mixed([])):
        with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
            call()
    assert raw.header[0] == 100


def test_random_garbage_never_escapes_the_mapping(seg_name):
    """Headers and data filled with noise by a misbehaving peer: every call
    either works within the ring or raises ValueError; none may crash."""
    rng = random.Random(20261207)
    ring = make_ring(seg_name, 256)
    raw = RawRing(seg_name)
    edges = [0, 1, 3, 4, 255, 256, 257, 2**32 - 1, 2**63, 2**64 - 5, 2**64 - 1]
    for _ in range(3000):
        def word():
            return rng.choice(edges) if rng.random() < 0.5 else rng.getrandbits(64)
        capacity = rng.choice([0, 1, 64, 128, 256, 512, word()])
        raw.forge(word(), word(), capacity)
        raw.poke(0, rng.randbytes(256))
        for call in (ring.pop, lambda: ring.pop("str"), lambda: ring.pop_mixed([("i32", 3)]),
                     lambda: ring.push(rng.randbytes(rng.randrange(300)))):
            try:
                call()
            except ValueError:
                pass
        repr(ring), ring.is_full(), ring.is_empty()
    raw.close()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
def test_mapping_released_with_the_ring_and_on_refused_attach(seg_name):
    def mapped():
        with open("/proc/self/maps") as f:
            return sum(line.rstrip().endswith("/dev/shm" + seg_name) for line in f)

    seg = SM.create(seg_name, 100)
    with pytest.raises(ValueError):
        seg.spsc()
    assert mapped() == 0
    ring = SM.open(seg_name).spsc()
    assert mapped() == 1
    del ring
    gc.collect()
    assert mapped() == 0


@pytest.mark.skipif(not sys.platform.startswith("linux") or UNDER_ASAN,
                    reason="glibc's allocator settings (the sanitizer brings its own allocator)")
def test_batches_of_large_results_reuse_freed_memory(seg_name):
    """pop_many of 64 KiB messages: each result is a new bytes object, and the
    freed ones are reused rather than handed back to the system and faulted
    in again (about 13 page faults a message when they are). In a fresh
    interpreter: what a process freed before sets glibc's own thresholds."""
    import subprocess
    code = f"""
import resource, velmora
r = velmora.SpscRingBuffer.create({seg_name!r}, 1 << 20)
msg = b"x" * 65536
for _ in range(5):
    r.push_many([msg] * 15); r.pop_many(64)
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(100):
    assert r.push_many([msg] * 15) == 15 and len(r.pop_many(64)) == 15
print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 1500)
r.close()
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) < 2
