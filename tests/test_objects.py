"""Python objects as messages (velmora.objects): put_object / get_object on the
rings, publish_object / receive_object on broadcast, velmora.aio's, across
processes; buffers come out as writable views of one owned bytearray; the
header is checked as untrusted input."""
import array
import asyncio
import dataclasses
import pickle
import queue
import struct
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import velmora
from velmora import objects

try:
    import numpy as np
except ImportError:  # the array cases skip
    np = None

HERE = Path(__file__).resolve().parent


@dataclasses.dataclass
class Point:
    x: int
    y: float
    tags: list


def samples():
    """Objects of many shapes: the sender and the receiving process build the same list."""
    out = [
        None,
        {"a": [1, 2.5, "x\u00e9", None], "b": (b"small", bytearray(b"ba")), "c": {1, 2}, "d": frozenset("ab")},
        b"\x01" * 5000,  # alone: out of band
        [b"\x02" * 3000, bytearray(b"\x03" * 2000), "short containers' items: out of band"],
        {"deep": [b"\x04" * 3000]},  # deeper: in the pickle
        bytearray(range(256)) * 20,
        memoryview(array.array("d", range(600))),
        memoryview(array.array("i", range(12))).cast("B").cast("i", (3, 4)),
        memoryview(b""),
        Point(3, 4.5, ["p", {"q": 1}]),
        [Point(i, i / 2, []) for i in range(50)],
    ]
    if np is not None:
        base = np.arange(7 * 11 * 3, dtype=np.float64).reshape(7, 11, 3)
        out += [
            np.arange(1920 * 3, dtype=np.uint8).reshape(40, 48, 3),
            base,
            np.arange(100, dtype=np.int32) - 50,
            np.array([1 + 2j, -3.5j], dtype=np.complex128),
            np.array([True, False, True]),
            np.asfortranarray(base[:, :, 0]),  # Fortran order
            base[::2, ::3, 1],  # not contiguous: pickled in band
            np.array(3.5),  # 0-d
            np.zeros((0, 4), dtype=np.int16),  # empty
            np.array([(1, 2.0), (3, 4.0)], dtype=[("x", "<i4"), ("y", "<f8")]),
            {"frames": [np.full((4, 4), k, dtype=np.uint16) for k in range(3)], "n": 3},
        ]
    return out


def check_same(got, want):
    """`got` equals `want`, and every array or memoryview in it is writable."""
    if np is not None and isinstance(want, np.ndarray):
        assert type(got) is np.ndarray and got.dtype == want.dtype and got.shape == want.shape
        assert np.array_equal(got, want) and got.flags.writeable
        if want.flags.f_contiguous and not want.flags.c_contiguous:
            assert got.flags.f_contiguous
    elif isinstance(want, memoryview):
        assert type(got) is memoryview and not got.readonly
        assert (got.format, got.shape, got.tolist()) == (want.format, want.shape, want.tolist())
    elif isinstance(want, (list, tuple)):
        assert type(got) is type(want) and len(got) == len(want)
        for g, w in zip(got, want):
            check_same(g, w)
    elif isinstance(want, dict):
        assert type(got) is dict and got.keys() == want.keys()
        for k in want:
            check_same(got[k], want[k])
    else:
        assert type(got) is type(want) and got == want


def ring_of(kind, name, capacity=1 << 20):
    if kind == "spsc":
        return velmora.SpscRingBuffer.create(name, capacity)
    if kind == "mpsc":
        return velmora.MpscRingBuffer.create(name, capacity, producers=2)
    return velmora.MpmcRingBuffer.create(name, capacity, producers=2, consumers=2)


RINGS = ["spsc", "mpsc", "mpmc"]
CLASS = {"spsc": "SpscRingBuffer", "mpsc": "MpscRingBuffer", "mpmc": "MpmcRingBuffer"}


@pytest.fixture(params=RINGS)
def ring(request, seg_name):
    r = ring_of(request.param, seg_name, 4096)
    yield r
    r.close()


# Another process takes every sample and checks it against its own list.
RECEIVER = """
import sys
sys.path.insert(0, {here!r})
import velmora
from test_objects import samples, check_same
kind, name = sys.argv[1], sys.argv[2]
if kind == "Subscriber":
    ch = velmora.Subscriber.open(name)
    take = lambda: ch.receive_object(timeout=30)
else:
    ch = getattr(velmora, kind).open(name)
    take = lambda: ch.get_object(timeout=30)
print("ready", flush=True)  # and then, mostly, waiting for each object
for i, want in enumerate(samples()):
    check_same(take(), want)
print("checked", i + 1)
"""


def receiver(kind, name):
    return subprocess.Popen([sys.executable, "-c", RECEIVER.format(here=str(HERE)), kind, name],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finished(proc):
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err[-3000:]
    assert out.split()[-2:] == ["checked", str(len(samples()))]


@pytest.mark.parametrize("kind", RINGS)
def test_objects_of_every_shape_reach_another_process(seg_name, kind):
    r = ring_of(kind, seg_name)
    try:
        proc = receiver(CLASS[kind], seg_name)
        assert proc.stdout.readline().split() == ["ready"], proc.stderr.read()
        for obj in samples():
            r.put_object(obj, timeout=30)
        finished(proc)
    finally:
        r.close()


def test_objects_of_every_shape_reach_a_subscriber_in_another_process(seg_name):
    pub = velmora.Publisher.create(seg_name, 1 << 16, 32, subscribers=2)
    try:
        proc = receiver("Subscriber", seg_name)
        assert proc.stdout.readline().split() == ["ready"], proc.stderr.read()
        for obj in samples():
            pub.publish_object(obj, timeout=30)
        finished(proc)
    finally:
        pub.close()


def owner(arr):
    """What the memory of `arr` belongs to: the object under its chain of views."""
    base = arr
    while isinstance(base, np.ndarray):
        base = base.base
    return base.obj if isinstance(base, memoryview) else base


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_arrays_are_views_of_one_owned_buffer(ring):
    a, b = np.arange(600, dtype=np.float32), np.ones((8, 8), dtype=np.int64)
    ring.put_object({"a": a, "b": b})
    got = ring.get_object(timeout=1)
    owners = [owner(got[k]) for k in "ab"]
    assert all(type(o) is bytearray for o in owners) and owners[0] is owners[1]
    got["a"][:] = 7  # writable, and the other array is untouched
    assert got["a"].sum() == 4200 and np.array_equal(got["b"], b)


def test_get_bytearray_is_a_writable_copy_and_loan_works_on_every_ring(ring):
    with ring.loan(5, timeout=0) as buf:
        buf[:] = b"hello"
    assert ring.put(b"world") is None
    first = ring.get_bytearray(timeout=0)
    assert type(first) is bytearray and first == b"hello"
    first[0:1] = b"J"
    assert ring.get_bytearray() == b"world"
    with pytest.raises(queue.Empty):
        ring.get_bytearray(timeout=0)


@pytest.mark.parametrize("advance", [0, 1500, 2000, 4000], ids=["start", "middle", "wrapping", "near the end"])
def test_object_messages_that_wrap_around_the_ring_arrive_whole(ring, advance):
    # A loan that would wrap is written through a scratch buffer, a message
    # that wraps is copied out in two pieces.
    filler = b"f" * advance
    assert ring.push(filler) and ring.pop() == filler
    obj = {"blob": bytearray(range(200)) * 8, "n": advance}
    ring.put_object(obj, timeout=0)
    check_same(ring.get_object(timeout=0), obj)
    assert ring.push(b"after") and ring.pop() == b"after"


# ---- timeouts, sizes, and the channel going on -----------------------------------

@pytest.mark.parametrize("timeout", [0, 0.05])
def test_timeouts_raise_queue_empty_and_full_as_the_bytes_calls(ring, timeout):
    with pytest.raises(queue.Empty):
        ring.get_object(timeout=timeout)
    with pytest.raises(queue.Empty):  # what get() raises, unchanged
        ring.get(timeout=timeout)
    while ring.push(b"x" * 100):
        pass
    with pytest.raises(queue.Full):
        ring.put_object([1, 2, 3], timeout=timeout)
    with pytest.raises(queue.Full):
        ring.put(b"x" * 100, timeout=timeout)
    ring.pop_many(1000)
    ring.put_object([1, 2, 3], timeout=timeout)
    assert ring.get_object(timeout=timeout) == [1, 2, 3]


def test_a_publisher_times_out_with_queue_full(seg_name):
    pub = velmora.Publisher.create(seg_name, 256, 1, subscribers=1)
    sub = velmora.Subscriber.open(seg_name)
    try:
        with pytest.raises(queue.Empty):
            sub.receive_object(timeout=0)
        pub.publish_object("one", timeout=0)
        with pytest.raises(queue.Full):
            pub.publish_object("two", timeout=0.05)
        assert sub.receive_object(timeout=0) == "one"
        pub.publish_object("two", timeout=0)
        assert sub.receive_object(timeout=0) == "two"
    finally:
        sub.close()
        pub.close()


def test_an_object_too_large_names_what_fits_and_the_ring_goes_on(ring):
    with pytest.raises(ValueError, match=r"the largest payload is \d+ bytes",
                       check=lambda e: e.reason == "too_large"):
        ring.put_object(bytearray(5000), timeout=0)
    assert ring.used() == 0
    ring.put_object("fits", timeout=0)
    assert ring.get_object(timeout=0) == "fits"


def test_an_object_too_large_for_a_publisher_names_max_message(seg_name):
    pub = velmora.Publisher.create(seg_name, 128, 2, subscribers=1)
    sub = velmora.Subscriber.open(seg_name)
    try:
        with pytest.raises(ValueError, match="max_message 128", check=lambda e: e.reason == "too_large"):
            pub.publish_object(bytearray(4000))
        pub.publish_object(("still", "going"), timeout=0)
        assert sub.receive_object(timeout=0) == ("still", "going")
    finally:
        sub.close()
        pub.close()


def test_an_object_that_cannot_be_pickled_writes_nothing(ring):
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        ring.put_object({"ok": bytearray(4000), "bad": lambda: None})
    assert ring.used() == 0 and ring.pop() is None
    ring.put_object("after", timeout=0)
    assert ring.get_object(timeout=0) == "after"


@pytest.mark.parametrize("kind", RINGS)
def test_get_object_with_eof_ends_after_the_last_object(seg_name, kind):
    r = ring_of(kind, seg_name, 4096)
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import velmora
            r = velmora.{CLASS[kind]}.open({seg_name!r})
            r.put_object(("last", 1))
            r.close()
            """)], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert r.get_object(timeout=10, eof=True) == ("last", 1)
        with pytest.raises(EOFError, check=lambda e: e.reason == "peer_gone"):
            r.get_object(timeout=10, eof=True)
    finally:
        r.close()


def test_receive_object_with_eof_ends_after_the_last_object(seg_name):
    pub = velmora.Publisher.create(seg_name, 256, 4, subscribers=1)
    sub = velmora.Subscriber.open(seg_name)
    try:
        pub.publish_object({"last": True})
        pub.close()
        assert sub.receive_object(timeout=1, eof=True) == {"last": True}
        with pytest.raises(EOFError, check=lambda e: e.reason == "peer_gone"):
            sub.receive_object(timeout=1, eof=True)
    finally:
        sub.close()


# ---- objects and plain messages on one channel -----------------------------------

def test_a_plain_message_is_not_lost_by_get_object(ring):
    ring.put(b"plain bytes")
    ring.put_object({"k": 1})
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt") as caught:
        ring.get_object(timeout=0)
    assert caught.value.data == b"plain bytes"
    assert not objects.is_object_message(caught.value.data)
    raw = ring.get(timeout=0)  # an object message read as bytes
    assert objects.is_object_message(raw) and raw[:4] == objects.MAGIC
    assert objects.loads(raw) == {"k": 1}


def test_an_object_the_receiver_cannot_load_keeps_its_message(ring, monkeypatch):
    gone = types.ModuleType("velmora_test_gone")
    exec("class Gone:\n    pass", gone.__dict__)
    gone.Gone.__module__ = gone.__name__
    monkeypatch.setitem(sys.modules, gone.__name__, gone)
    ring.put_object([gone.Gone(), bytearray(3000)])
    monkeypatch.delitem(sys.modules, gone.__name__)
    with pytest.raises(ImportError) as caught:
        ring.get_object(timeout=0)
    assert objects.is_object_message(caught.value.data)
    sys.modules[gone.__name__] = gone
    try:
        got = objects.loads(caught.value.data)
    finally:
        del sys.modules[gone.__name__]
    assert type(got[0]) is gone.Gone and got[1] == bytearray(3000)


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_loads_of_read_only_bytes_gives_writable_arrays():
    got = objects.loads(bytes(objects.dumps([np.arange(5.0)])))
    assert got[0].flags.writeable and np.array_equal(got[0], np.arange(5.0))


# A valid message with two out-of-band buffers, and ways to forge it.
GOOD = bytes(objects.dumps({"a": bytearray(b"A" * 2000), "b": memoryview(bytearray(b"B" * 1500))}))
HEAD = 24  # magic, version, alignment, count, reserved, pickle length


def patched(offset, fmt, value):
    out = bytearray(GOOD)
    struct.pack_into(fmt, out, offset, value)
    return bytes(out)


FORGED = [
    ("empty", b"", "corrupt"),
    ("magic only", GOOD[:4], "corrupt"),
    ("truncated header", GOOD[:HEAD - 1], "corrupt"),
    ("truncated lengths", GOOD[:HEAD + 12], "corrupt"),
    ("truncated pickle", GOOD[:HEAD + 16 + 10], "corrupt"),
    ("truncated buffer", GOOD[:-1], "corrupt"),
    ("trailing byte", GOOD + b"\0", "corrupt"),
    ("other magic", b"X" + GOOD[1:], "corrupt"),
    ("other layout", patched(4, "<H", 2), "version"),
    ("zero alignment", patched(6, "<H", 0), "corrupt"),
    ("odd alignment", patched(6, "<H", 48), "corrupt"),
    ("huge alignment", patched(6, "<H", 8192), "corrupt"),
    ("reserved set", patched(12, "<I", 1), "corrupt"),
    ("count past the end", patched(8, "<I", 0xFFFFFFFF), "corrupt"),
    ("pickle past the end", patched(16, "<Q", 1 << 63), "corrupt"),
    ("buffer past the end", patched(HEAD, "<Q", (1 << 64) - 1), "corrupt"),
    ("buffer one past the end", patched(HEAD + 8, "<Q", 1501), "corrupt"),
    ("fewer buffers", patched(8, "<I", 1), "corrupt"),
]


@pytest.mark.parametrize("data, reason", [f[1:] for f in FORGED], ids=[f[0] for f in FORGED])
def test_forged_headers_raise_cleanly_and_the_ring_goes_on(ring, data, reason):
    assert not objects.is_object_message(data)
    with pytest.raises(ValueError, check=lambda e: e.reason == reason):
        objects.loads(data)
    ring.put(data)
    with pytest.raises(ValueError, check=lambda e: e.reason == reason and e.data == data):
        ring.get_object(timeout=0)
    ring.put_object("next")
    assert ring.get_object(timeout=0) == "next"


def test_the_valid_message_the_forgeries_start_from_decodes():
    assert objects.is_object_message(GOOD)
    got = objects.loads(GOOD)
    assert got["a"] == bytearray(b"A" * 2000) and got["b"].tobytes() == b"B" * 1500


# ---- velmora.aio ---------------------------------------------------------------

@pytest.mark.parametrize("kind", ["spsc", "mpsc"])
def test_aio_objects_on_a_ring(seg_name, kind):
    r = ring_of(kind, seg_name, 4096)
    ch = velmora.aio.wrap(r)

    async def main():
        with pytest.raises(queue.Empty):
            await ch.get_object(timeout=0.05)
        waiting = asyncio.ensure_future(ch.get_object(timeout=10))
        await asyncio.sleep(0)
        await ch.put_object({"x": bytearray(b"y" * 2048)}, timeout=1)
        assert await waiting == {"x": bytearray(b"y" * 2048)}
        while r.push(b"z" * 100):
            pass
        with pytest.raises(queue.Full):
            await ch.put_object([1], timeout=0.05)
        r.pop_many(1000)
        await ch.put_object([1], timeout=0)
        assert await ch.get_object(timeout=0) == [1]

    try:
        asyncio.run(main())
    finally:
        r.close()


def test_aio_objects_on_broadcast(seg_name):
    pub = velmora.Publisher.create(seg_name, 4096, 1, subscribers=1)
    sub = velmora.Subscriber.open(seg_name)
    apub, asub = velmora.aio.wrap(pub), velmora.aio.wrap(sub)

    async def main():
        with pytest.raises(queue.Empty):
            await asub.receive_object(timeout=0.05)
        waiting = asyncio.ensure_future(asub.receive_object(timeout=10))
        await asyncio.sleep(0)
        await apub.publish_object(Point(1, 2.0, ["t"]), timeout=1)
        assert await waiting == Point(1, 2.0, ["t"])
        await apub.publish_object("held", timeout=0)
        with pytest.raises(queue.Full):
            await apub.publish_object("blocked", timeout=0.05)
        assert await asub.receive_object(timeout=0) == "held"

    try:
        asyncio.run(main())
    finally:
        sub.close()
        pub.close()
