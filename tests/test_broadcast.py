"""Publisher and Subscriber in one process: the API's rules (limits, roles,
late joiners, loans, views, the end of the stream, pickling, closing) and
segments whose header or slot descriptors were forged."""
import math
import pickle
import queue
import re
import struct
import sys
import threading

import pytest

import velmora
from conftest import second_mapping
from test_no_crash import assert_clean, run

Publisher, Subscriber = velmora.Publisher, velmora.Subscriber
HEADER, ENTRY = 192, 64
BUFFERS = sys.version_info >= (3, 11)  # lent memory exports its format and shape itself


@pytest.fixture
def bcast(seg_name):
    """A block-mode publisher (max_message 256, depth 4, 3 subscribers)."""
    pub = Publisher.create(seg_name, 256, 4, subscribers=3)
    yield pub
    pub.close()


def test_every_subscriber_gets_every_message_and_late_ones_start_at_the_next(bcast, seg_name):
    a = Subscriber.open(seg_name)
    bcast.publish(b"first")
    b = Subscriber.open(seg_name)
    bcast.publish("second")
    bcast.publish([1, 2.5])
    second = struct.pack("<I", 6) + b"second"  # values are encoded as the ring encodes them
    assert [a.receive(timeout=1) for _ in range(3)] == [b"first", second, struct.pack("<qd", 1, 2.5)]
    assert [b.receive(timeout=1) for _ in range(2)] == [second, struct.pack("<qd", 1, 2.5)]
    with pytest.raises(queue.Empty):
        b.receive(timeout=0)


def test_subscriber_limit_and_one_publisher(bcast, seg_name):
    subs = [Subscriber.open(seg_name) for _ in range(3)]
    with pytest.raises(BlockingIOError):
        Subscriber.open(seg_name)
    subs[0].close()
    subs[0] = Subscriber.open(seg_name)  # the freed place is taken again
    with pytest.raises(BlockingIOError):
        pickle.loads(pickle.dumps(bcast))  # a second publisher of the same segment
    assert sorted(subs[1].subscribers()) == sorted(bcast.subscribers())
    assert len(bcast.subscribers()) == 3
    for s in subs:
        s.close()
    assert bcast.subscribers() == []


def test_block_mode_full_raises_queue_full_until_the_slowest_reads(bcast, seg_name):
    slow = Subscriber.open(seg_name)
    for i in range(4):
        bcast.publish(bytes([i]))
    with pytest.raises(queue.Full):
        bcast.publish(b"x", timeout=0.05)
    with pytest.raises(queue.Full):
        bcast.loan(8, timeout=0)
    assert slow.receive() == b"\x00"
    bcast.publish(b"x", timeout=0)


def test_blocked_publish_is_woken_by_a_receive_in_another_thread(bcast, seg_name):
    sub = Subscriber.open(seg_name)
    for i in range(4):
        bcast.publish(bytes([i]))
    started = threading.Event()

    def reader():
        started.wait()
        for _ in range(5):
            sub.receive(timeout=10)

    t = threading.Thread(target=reader)
    t.start()
    started.set()
    bcast.publish(b"after", timeout=10)  # waits, with the interpreter lock released
    t.join(10)
    assert not t.is_alive()


def test_loan_publishes_on_exit_and_discards_on_exception(bcast, seg_name):
    sub = Subscriber.open(seg_name)
    with bcast.loan(5) as buf:
        assert not buf.readonly and len(buf) == 5
        buf[:] = b"hello"
    with pytest.raises(KeyError):
        with bcast.loan(3) as buf:
            buf[:] = b"bad"
            raise KeyError
    bcast.publish(b"next")
    assert sub.receive(timeout=1) == b"hello"
    assert sub.receive(timeout=1) == b"next"
    with pytest.raises(ValueError, match="released"):
        buf[0]
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        bcast.loan(257)


@pytest.mark.parametrize("dtype, shape", [
    ("<f8", (4, 3)),
    ("u1", (2, 3, 4)),
    ("<i2", None),                                  # one dimension of as many items as fit
    ("<c8", ()),                                    # a single item
    ([("x", "<f8"), ("y", "<i4")], (5,)),           # a packed structure: T{<d:x:<i:y:}
], ids=str)
def test_a_loan_with_format_and_shape_arrives_as_that_array(bcast, seg_name, dtype, shape):
    """Written in place through the block's view, received with the dtype and
    shape given, as publish() of the same array would send it."""
    np = pytest.importorskip("numpy")
    dt = np.dtype(dtype)
    frame = np.zeros(10 if shape is None else math.prod(shape), dt)
    frame.view(np.uint8)[:] = (np.arange(frame.nbytes) % 251).astype(np.uint8)
    frame = frame.reshape(frame.shape if shape is None else shape)
    fmt = memoryview(frame).format
    sub = Subscriber.open(seg_name)
    with bcast.loan(frame.nbytes, format=fmt, shape=shape) as buf:
        assert not buf.readonly and buf.nbytes == frame.nbytes
        if BUFFERS:  # the view is shaped: numpy writes the array as it is
            target = np.asarray(buf)
            assert (target.dtype, target.shape) == (dt, frame.shape)
            target[...] = frame
            del target
        else:
            buf.cast("B")[:] = frame.tobytes()
    with sub.receive_view(timeout=1) as mv:
        got = np.asarray(mv)
        assert (got.dtype, got.shape) == (dt, frame.shape)
        assert got.tobytes() == frame.tobytes()
        del got


@pytest.mark.parametrize("nbytes, described, fault", [
    (24, {"format": "<d", "shape": (4,)}, "describe 32 bytes, the message has 24"),
    (20, {"format": "<d"}, "describe 16 bytes, the message has 20"),
    (12, {"shape": (3, 5)}, "describe 15 bytes, the message has 12"),
    (24, {"format": "O", "shape": (3,)}, "format 'O' is not plain data"),
    (8, {"format": "P"}, "format 'P' is not plain data"),
    (8, {"format": ""}, "printable ASCII"),
    (8, {"format": "d\x01"}, "printable ASCII"),
    (8, {"format": "B" * 16}, "up to 15 characters"),
    (8, {"shape": (1,) * 9}, "up to 8 dimensions"),
    (8, {"shape": (-8,)}, "negative"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_a_loan_whose_format_and_shape_disagree_is_refused_before_anything_is_taken(bcast, seg_name, nbytes,
                                                                                   described, fault):
    sub = Subscriber.open(seg_name)
    with pytest.raises(ValueError, match=re.escape(fault)):
        bcast.loan(nbytes, **described)
    with pytest.raises(queue.Empty):
        sub.receive(timeout=0)
    assert "published=0" in repr(bcast)
    with bcast.loan(4, 0) as buf:  # no loan was left open; timeout is still the second argument
        buf[:] = b"next"
    assert sub.receive(timeout=1) == b"next"


def test_receive_view_gives_the_slot_until_the_block_ends(bcast, seg_name):
    sub = Subscriber.open(seg_name)
    bcast.publish(b"in place")
    with sub.receive_view() as mv:
        assert mv.readonly and bytes(mv) == b"in place"
        with pytest.raises(RuntimeError):
            sub.receive(timeout=0)  # one message at a time
    with pytest.raises(ValueError):
        bytes(mv)
    with pytest.raises(queue.Empty):
        sub.receive_view(timeout=0)


def test_end_of_stream_after_everything_published(bcast, seg_name):
    sub = Subscriber.open(seg_name)
    assert sub.has_publisher()
    bcast.publish(b"last")
    bcast.close()
    assert not sub.has_publisher()
    assert sub.receive(eof=True) == b"last"
    with pytest.raises(EOFError, check=lambda e: e.reason == "peer_gone"):
        sub.receive(eof=True)
    with pytest.raises(EOFError):
        sub.receive_view(eof=True)
    with pytest.raises(queue.Empty):
        sub.receive(timeout=0)


def test_publisher_role_can_be_taken_over_by_name_after_close(seg_name):
    pub = Publisher.create(seg_name, 64, 2, subscribers=1)
    sub = Subscriber.open(seg_name)
    pub.publish(b"a")
    data = pickle.dumps(pub)
    pub.close()
    again = pickle.loads(data)
    again.publish(b"b")
    assert [sub.receive(timeout=1), sub.receive(timeout=1)] == [b"a", b"b"]
    again.close()


def test_pickled_subscriber_subscribes_again(bcast, seg_name):
    sub = Subscriber.open(seg_name)
    twin = pickle.loads(pickle.dumps(sub))
    bcast.publish(b"both")
    assert sub.receive(timeout=1) == twin.receive(timeout=1) == b"both"
    assert len(bcast.subscribers()) == 2


@pytest.mark.parametrize("kwargs, match", [
    (dict(max_message=0, depth=4), "max_message"),
    (dict(max_message=64, depth=0), "depth"),
    (dict(max_message=64, depth=4, subscribers=0), "subscribers"),
    (dict(max_message=64, depth=4, overflow="drop"), "overflow"),
])
def test_create_refuses_bad_configurations(seg_name, kwargs, match):
    with pytest.raises(ValueError, match=match):
        Publisher.create(seg_name, **kwargs)


def test_overwrite_never_waits_and_counts_what_a_laggard_missed(seg_name):
    pub = Publisher.create(seg_name, 64, 4, subscribers=2, overflow="overwrite")
    sub = Subscriber.open(seg_name)
    for i in range(10):
        pub.publish(struct.pack("<I", i), timeout=0)
    got = [struct.unpack("<I", sub.receive(timeout=1))[0] for _ in range(4)]
    assert got == [6, 7, 8, 9] and sub.missed() == 6
    pub.close()


def test_overwrite_keeps_a_viewed_slot_intact(seg_name):
    pub = Publisher.create(seg_name, 64, 2, subscribers=1, overflow="overwrite")
    sub = Subscriber.open(seg_name)
    pub.publish(b"keep me")
    with sub.receive_view() as mv:
        for i in range(20):
            pub.publish(struct.pack("<I", i), timeout=0)
        assert bytes(mv) == b"keep me"
    assert struct.unpack("<I", sub.receive(timeout=1))[0] == 18
    assert sub.missed() == 18
    pub.close()


# ---- arrays -------------------------------------------------------------------------------

def test_array_keeps_dtype_and_shape_and_is_read_in_place(bcast, seg_name):
    np = pytest.importorskip("numpy")
    sub = Subscriber.open(seg_name)
    frame = np.arange(24, dtype=np.int16).reshape(2, 3, 4)
    bcast.publish(frame)
    with sub.receive_view() as mv:
        assert mv.format == frame.data.format and mv.shape == (2, 3, 4)
        arr = np.asarray(mv)
        assert arr.dtype == np.int16 and arr.shape == (2, 3, 4)
        assert (arr == frame).all()
        # No copy: a change made to the segment through another mapping shows in the array.
        shm = second_mapping(seg_name)
        try:
            raw = bytes(shm.buf)
            at = raw.index(frame.tobytes())
            shm.buf[at:at + 2] = struct.pack("<h", -5)
            assert arr[0, 0, 0] == -5
        finally:
            shm.close()
    bcast.publish(frame)
    assert sub.receive(timeout=1) == frame.tobytes()  # receive() stays bytes


def test_non_contiguous_and_oversized_arrays_are_refused(bcast):
    np = pytest.importorskip("numpy")
    with pytest.raises((BufferError, ValueError)):
        bcast.publish(np.zeros((8, 8), np.uint8)[:, ::2])
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        bcast.publish(np.zeros(300, np.uint8))


# ---- plain data only --------------------------------------------------------------------------

def _objects(np):
    return np.array([object(), None], dtype=object)


def _struct_with_object(np):
    return np.zeros(2, dtype=[("a", "f8"), ("b", "O")])


def _pointers(np):
    return memoryview(bytearray(16)).cast("P")


@pytest.mark.parametrize("make", [_objects, _struct_with_object, _pointers])
def test_publishing_objects_or_pointers_is_refused(bcast, seg_name, make):
    """Addresses of this process would be another's garbage (and numpy
    dereferences an object array's): refused as the rings refuse them."""
    np = pytest.importorskip("numpy")
    sub = Subscriber.open(seg_name)
    data = make(np)
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        bcast.publish(data)
    with pytest.raises(queue.Empty):
        sub.receive(timeout=0)


@pytest.mark.parametrize("dtype", [
    "<c16", "<f2", "?", "U3", "S5", ">i4",
    [("x", "<f8"), ("y", "<i4")],                   # packed: T{=d:x:@i:y:}
    ("aligned", [("x", "<f8"), ("y", "<i4")]),      # end padding implied: T{d:x:i:y:}, 16 bytes
    ("aligned", [("y", "<i4"), ("x", "u1")]),       # T{i:y:B:x:}, 8 bytes
    [("x", "<i2", (2,)), ("y", "<f4")],            # T{(2)h:x:f:y:}
], ids=str)
def test_every_plain_array_kind_arrives_whole_and_typed(bcast, seg_name, dtype):
    """The subscriber's check of item sizes agrees with numpy's on every kind
    of plain array, structures with implied padding included."""
    np = pytest.importorskip("numpy")
    dt = np.dtype(dtype[1], align=True) if isinstance(dtype, tuple) and dtype[0] == "aligned" else np.dtype(dtype)
    frame = np.zeros(3, dtype=dt)
    frame.view(np.uint8)[:] = np.arange(frame.nbytes, dtype=np.uint8)
    sub = Subscriber.open(seg_name)
    bcast.publish(frame)
    with sub.receive_view(timeout=1) as mv:
        got = np.asarray(mv)
        assert got.dtype.itemsize == dt.itemsize and got.dtype.names == dt.names and got.shape == (3,)
        assert got.tobytes() == frame.tobytes()
        del got


# Each forgery: (format, item size, shape, length, the fault the error names).
FORGED_FORMATS = {
    "object": (b"O", 8, [4], 32, "format 'O' is not plain data"),
    "pointer": (b"P", 8, [4], 32, "format 'P' is not plain data"),
    "double-items-of-one-byte": (b"d", 1, [32], 32, "format 'd' has items of 8 bytes, not 1"),
    "shape-product-mismatch": (b"d", 8, [3], 32, "the shape and item size describe 24 bytes, the message has 32"),
    "too-many-dimensions": (b"d", 8, [4] + [1] * 8, 32, "9 dimensions, more than 8"),
    "length-beyond-slot": (b"d", 8, [4], 10_000, "length 10000 exceeds the slot size 256"),
}


@pytest.mark.parametrize("forgery", FORGED_FORMATS.values(), ids=FORGED_FORMATS.keys())
def test_forged_descriptor_is_a_corrupt_slot_not_a_crash(forgery):
    """A forged descriptor read by numpy or memoryview would dereference
    another process's addresses or read past the segment: in a child
    interpreter, receive_view and receive must both raise naming the fault."""
    pytest.importorskip("numpy")
    fmt, itemsize, shape, length, fault = forgery
    proc = run(f"""
        import numpy as np
        n = name("bf")
        pub = velmora.Publisher.create(n, 256, 4, subscribers=3)
        sub = velmora.Subscriber.open(n)
        pub.publish(np.arange(4, dtype=np.float64))
        m = shared_memory.SharedMemory(name=n.lstrip("/"), create=False)
        resource_tracker.unregister(m._name, "shared_memory")
        d = {descriptor_at()}
        m.buf[d + 24:d + 40] = {fmt!r}.ljust(16, bytes(1))
        struct.pack_into("<QII", m.buf, d + 8, {length}, {len(shape)}, {itemsize})
        struct.pack_into("<{len(shape)}Q", m.buf, d + 40, *{shape!r})
        m.close()
        for call in ("receive_view", "receive"):
            try:
                if call == "receive_view":
                    with sub.receive_view(timeout=1) as mv:
                        # what a reader does with a view: as numbers, as an array
                        for read in (mv.tolist, lambda: np.asarray(mv).tolist()):
                            try:
                                read()
                            except (NotImplementedError, RuntimeError):
                                pass  # refused by the reader itself
                        print("GOT")
                else:
                    print("GOT", sub.receive(timeout=1))
            except ValueError as e:
                print("ERR", e)
        sub.close(); pub.close(); SM.remove(n)
    """)
    assert_clean(proc)
    lines = proc.stdout.splitlines()
    assert lines == [f"ERR broadcast slot descriptor is corrupt: {fault}"] * 2, proc.stdout


# ---- forged segments ------------------------------------------------------------------------

# Each field of the header is checked natively (tests/native/test_broadcast.cpp);
# here, that a refused header reaches Python as ValueError.
def test_forged_header_is_refused(bcast, seg_name):
    shm = second_mapping(seg_name)
    try:
        struct.pack_into("<Q", shm.buf, 0, 0x1234)  # magic
        with pytest.raises(ValueError):
            Subscriber.open(seg_name)
    finally:
        shm.close()


def descriptor_at(depth=4, subscribers=3):
    index = (depth * 4 + 63) // 64 * 64
    return HEADER + index + subscribers * ENTRY  # slot 0's descriptor


def test_arrays_made_from_a_view_keep_the_mapping_after_close(bcast, seg_name):
    np = pytest.importorskip("numpy")
    sub = Subscriber.open(seg_name)
    bcast.publish(np.arange(4, dtype=np.int32))
    with sub.receive_view() as mv:
        kept = [np.frombuffer(mv, dtype=np.int32), np.asarray(mv)]
    sub.close()  # the slot is given back, the memory stays mapped while arrays use it
    assert [int(a.sum()) for a in kept] == [6, 6]
    del kept
    assert "closed" in repr(sub)
