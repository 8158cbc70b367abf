"""MpscRingBuffer in one process: the header and its refusals, the calls it
shares with SpscRingBuffer, the turn between producers, the counters across
2^64, and the object's lifetime. Two objects of one process are two
producers (each claims a slot of its own)."""
import pickle
import queue
import struct

import pytest

import velmora
from conftest import second_mapping, second_mapping_create

MPSC = velmora.MpscRingBuffer
HEADER = 128


def lane_offset(k, capacity):
    stride = (24 + capacity + 63) // 64 * 64
    return HEADER + k * stride


@pytest.fixture
def ring(seg_name):
    r = MPSC.create(seg_name, 256, producers=4)
    yield r
    r.close()


def test_open_reads_the_header(seg_name):
    with MPSC.create(seg_name, 1024, producers=3) as made, MPSC.open(seg_name) as opened:
        assert (opened.slots, opened.capacity(), opened.max_payload) == (3, 1024, 1020)
        assert made.push(b"one")
        assert opened.used() == 7 and not opened.is_empty()
        assert opened.pop() == b"one"
        assert opened.is_empty()


@pytest.mark.parametrize("capacity, producers, error", [
    (1000, 8, "capacity 1000"),
    (0, 8, "capacity 0"),
    (64, 0, "producers must be between 1 and 1024, not 0"),
    (64, 1025, "producers must be between 1 and 1024, not 1025"),
    (1 << 62, 8, "does not fit in a 64-bit segment size"),
])
def test_create_refuses_bad_sizes(seg_name, capacity, producers, error):
    with pytest.raises(ValueError, match=error):
        MPSC.create(seg_name, capacity, producers=producers)
    with pytest.raises(FileNotFoundError):
        velmora.SharedMemory.open(seg_name)


# Each header field is checked natively (tests/native/test_mpsc.cpp); here, the
# error as Python shows it, naming the segment.
@pytest.mark.parametrize("offset, fmt, value, error", [
    (0, "<Q", 0x1234, "its first 8 bytes hold 0x0000000000001234, not the fan-in magic"),
    (12, "<I", 0, "producer count 0 is outside 1..1024"),
])
def test_open_refuses_forged_headers(seg_name, offset, fmt, value, error):
    MPSC.create(seg_name, 64, producers=4).close()
    shm = second_mapping(seg_name)
    try:
        struct.pack_into(fmt, shm.buf, offset, value)
    finally:
        shm.close()
    with pytest.raises(ValueError, match=f"'{seg_name}' is not a fan-in ring segment: .*{error}"):
        MPSC.open(seg_name)


def test_open_refuses_other_segments(seg_name):
    velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc().close()
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
        MPSC.open(seg_name)
    velmora.SharedMemory.remove(seg_name)
    second_mapping_create(seg_name, 64).close()
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
        MPSC.open(seg_name)


def test_forged_lane_is_an_error_not_an_access(seg_name):
    with MPSC.create(seg_name, 64, producers=2) as r:
        shm = second_mapping(seg_name)
        try:
            at = lane_offset(1, 64)
            struct.pack_into("<QQQ", shm.buf, at, 0, 1 << 20, 1 << 20)  # head, tail, capacity
            with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
                r.pop()
            struct.pack_into("<QQQ", shm.buf, at, 0, 0, 64)
            assert r.pop() is None
        finally:
            shm.close()


def test_counters_cross_2_to_the_64(seg_name):
    with MPSC.create(seg_name, 64, producers=2) as consumer:
        shm = second_mapping(seg_name)
        try:
            for k in range(2):
                near = (1 << 64) - 30 - k
                struct.pack_into("<QQ", shm.buf, lane_offset(k, 64), near, near)
        finally:
            shm.close()
        a, b = MPSC.open(seg_name), MPSC.open(seg_name)
        for i in range(40):
            assert a.push(b"a%03d" % i) and b.push(b"b%03d-long" % i)
            assert sorted([consumer.pop(), consumer.pop()]) == [b"a%03d" % i, b"b%03d-long" % i]
        assert consumer.pop() is None and consumer.used() == 0
        a.close(), b.close()


def test_producers_are_served_in_turn(ring, seg_name):
    a, b = MPSC.open(seg_name), MPSC.open(seg_name)
    for i in range(5):
        assert a.push(b"a%d" % i)
    for i in range(2):
        assert b.push(b"b%d" % i)
    got = [ring.pop() for _ in range(7)]
    assert got[:4] in ([b"a0", b"b0", b"a1", b"b1"], [b"b0", b"a0", b"b1", b"a1"])
    assert got[4:] == [b"a2", b"a3", b"a4"]
    a.close(), b.close()


def test_message_too_large_and_full(ring, seg_name):
    p = MPSC.open(seg_name)
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        p.push(b"x" * 300)
    assert p.push(b"y" * ring.max_payload)
    assert p.free() == 0
    assert p.push(b"z") is False
    p.close()


def test_eof_waits_for_a_first_producer(ring, seg_name):
    with pytest.raises(queue.Empty):
        ring.get(timeout=0.05, eof=True)       # no producer seen yet: not the end
    p = MPSC.open(seg_name)
    p.push(b"last")
    p.close()
    assert ring.get(timeout=1, eof=True) == b"last"
    with pytest.raises(EOFError, check=lambda e: e.reason == "peer_gone"):
        ring.get(timeout=5, eof=True)


def test_roles_and_pids(ring, seg_name):
    import os
    assert not ring.has_consumer() and not ring.has_producer() and ring.producers() == []
    p = MPSC.open(seg_name)
    p.push(b"x")
    assert ring.has_producer() and ring.producers() == [os.getpid()]
    assert ring.pop() == b"x" and ring.has_consumer()
    p.close()
    assert not ring.has_producer()


def test_pickling_and_with(seg_name):
    """(What a closed one refuses: test_lifecycle.)"""
    r = MPSC.create(seg_name, 64, producers=2)
    clone = pickle.loads(pickle.dumps(r))
    assert (clone.slots, clone.capacity()) == (2, 64)
    assert clone.push(b"via clone") and r.pop() == b"via clone"
    with r:
        pass
    assert repr(r) == "MpscRingBuffer(closed)"
    clone.close()
