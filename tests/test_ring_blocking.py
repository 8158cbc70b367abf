"""The ring's blocking, batch and buffer calls."""
import array
import ctypes
import multiprocessing
import os
import queue
import signal
import sys
import threading
import time

import pytest

import velmora
from conftest import Heartbeat
from test_spsc import RawRing, make_ring

SM = velmora.SharedMemory
HAS_BUFFERS = sys.version_info >= (3, 11)
CTX = multiprocessing.get_context("fork")


@pytest.fixture
def ring(seg_name):
    return make_ring(seg_name, 64)


# ---- put / get ------------------------------------------------------------------------

@pytest.mark.parametrize("call, exc", [
    (lambda r: r.get(timeout=0.05), queue.Empty),
    (lambda r: r.get("i64", timeout=0.05), queue.Empty),
    (lambda r: r.get_mixed([("u8", 1)], timeout=0.05), queue.Empty),
    (lambda r: r.get_into(bytearray(8), timeout=0.05), queue.Empty),
    (lambda r: [r.put(b"x" * 60), r.put(b"y", timeout=0.05)], queue.Full),
])
def test_timeouts_raise_the_queue_exceptions(any_ring, call, exc):
    t0 = time.monotonic()
    with pytest.raises(exc):
        call(any_ring)
    assert 0.05 <= time.monotonic() - t0 < 2


@pytest.mark.parametrize("timeout", [0, 0.0])
def test_timeout_zero_is_one_attempt(ring, timeout):
    with pytest.raises(queue.Empty):
        ring.get(timeout=timeout)
    ring.put(b"abc", timeout=timeout)
    assert ring.get(timeout=timeout) == b"abc"


@pytest.mark.parametrize("bad, exc", [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError)])
def test_bad_timeouts_are_refused(ring, bad, exc):
    with pytest.raises(exc):
        ring.get(timeout=bad)
    with pytest.raises(exc):
        ring.put(b"x", timeout=bad)
    assert ring.is_empty()


def test_values_round_trip_like_push_and_pop(ring):
    ring.put("text")
    ring.put([1, 2.5])
    ring.put(7)
    assert ring.get("str") == "text"
    assert ring.get_mixed([("i64", 1), ("f64", 1)]) == [1, 2.5]
    assert ring.get() == (7).to_bytes(8, "little")


def test_too_large_raises_at_once_even_without_a_timeout(any_ring):
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        any_ring.put(b"x" * 61)


def test_a_blocked_get_returns_what_another_thread_puts(seg_name):
    producer, consumer = make_ring(seg_name, 4096), SM.open(seg_name).spsc()
    started = threading.Event()

    def put_later():
        started.set()
        time.sleep(0.05)
        producer.put(b"late")

    thread = threading.Thread(target=put_later)
    thread.start()
    assert started.wait(5)
    assert consumer.get(timeout=10) == b"late"
    thread.join()


def test_a_waiting_get_uses_almost_no_cpu_and_lets_threads_run(any_ring):
    with Heartbeat() as heart:
        cpu0, t0 = time.process_time(), time.monotonic()
        with pytest.raises(queue.Empty):
            any_ring.get(timeout=1.0)
        cpu, t1 = time.process_time() - cpu0, time.monotonic()
    gaps = heart.gaps(t0, t1)
    assert len(gaps) > 20 and max(gaps) < 0.25, f"longest heartbeat gap {max(gaps):.3f} s"
    assert cpu < 0.1, f"{cpu:.3f} s of CPU for a 1 s wait"  # the heartbeat thread's included


def _blocked_get(name, conn):
    ring = SM.open(name).spsc()
    conn.send("ready")
    try:
        ring.get()
        conn.send("returned")
    except KeyboardInterrupt:
        conn.send("interrupted")


def test_ctrl_c_interrupts_a_blocked_get(ring, seg_name):
    ours, theirs = CTX.Pipe()
    proc = CTX.Process(target=_blocked_get, args=(seg_name, theirs), daemon=True)
    proc.start()
    try:
        assert ours.poll(30) and ours.recv() == "ready"
        time.sleep(0.2)
        sent = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        assert ours.poll(5), "get() was not interrupted"
        assert ours.recv() == "interrupted" and time.monotonic() - sent < 1.0
    finally:
        proc.join(5)
        if proc.is_alive():
            proc.kill()
    assert ring.is_empty()


@pytest.mark.parametrize("cls", ["SpscRingBuffer", "MpscRingBuffer", "Subscriber"])
def test_close_ends_a_wait_in_another_thread(seg_name, cls):
    pub = velmora.Publisher.create(seg_name, 64, 2) if cls == "Subscriber" else None
    obj = {"SpscRingBuffer": lambda: make_ring(seg_name, 64), "Subscriber": lambda: velmora.Subscriber.open(seg_name),
           "MpscRingBuffer": lambda: velmora.MpscRingBuffer.create(seg_name, 64, producers=2)}[cls]()
    wait = (lambda: obj.receive(timeout=30)) if pub else obj.get
    outcome, started = [], threading.Event()

    def waiter():
        started.set()
        try:
            wait()
        except ValueError as exc:
            outcome.append(str(exc))

    thread = threading.Thread(target=waiter)
    thread.start()
    assert started.wait(5)
    time.sleep(0.05)
    obj.close()
    thread.join(10)
    assert not thread.is_alive() and outcome == [f"{cls} is closed"]
    if pub:
        pub.close()


def test_a_corrupt_header_ends_a_wait_with_its_error(ring, seg_name):
    raw = RawRing(seg_name)
    raw.forge(0, 0, 48)
    with pytest.raises(ValueError, check=lambda e: e.reason == "corrupt"):
        ring.get(timeout=5)
    raw.close()


# ---- batches ---------------------------------------------------------------------------

def test_push_many_stops_at_the_first_value_that_does_not_fit(any_ring):
    ring = any_ring
    assert ring.push_many([b"a" * 20, b"b" * 20, b"c" * 20]) == 2  # 24 + 24 of 64 bytes
    assert ring.push_many((b"c" * 12,)) == 1
    assert ring.push_many([b"d"]) == 0 and ring.push_many([]) == 0
    assert ring.pop_many(10) == [b"a" * 20, b"b" * 20, b"c" * 12]
    assert ring.pop_many(10) == []


def test_push_many_publishes_what_it_encoded_before_a_bad_value(ring):
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        ring.push_many([b"one", "two", None, b"never"])
    assert ring.pop() == b"one" and ring.pop("str") == "two" and ring.pop() is None


@pytest.mark.parametrize("bad", [b"bytes", {1: 2}, None])
def test_push_many_wants_a_list_or_tuple(ring, bad):
    with pytest.raises(TypeError, match="argument 'values'"):
        ring.push_many(bad)


@pytest.mark.parametrize("max_count, tag, expected", [
    (0, None, []), (2, None, [(1).to_bytes(8, "little")] * 2), (5, "i64", [1, 1, 1]), (3, "u8", [1, 1, 1]),
])
def test_pop_many(ring, max_count, tag, expected):
    ring.push_many([1, 1, 1])
    assert ring.pop_many(max_count, tag) == expected
    assert ring.used() == 12 * (3 - len(expected))


def test_pop_many_stream_between_threads(seg_name):
    producer, consumer = make_ring(seg_name, 1024), SM.open(seg_name).spsc()
    total, got = 20_000, []

    def produce():
        sent = 0
        while sent < total:
            sent += producer.push_many([i.to_bytes(4, "little") for i in range(sent, min(sent + 50, total))])

    thread = threading.Thread(target=produce)
    thread.start()
    deadline = time.monotonic() + 60
    while len(got) < total and time.monotonic() < deadline:
        got += consumer.pop_many(64, "u32")
    thread.join()
    assert got == list(range(total))


# ---- buffers ---------------------------------------------------------------------------

def test_pop_into_copies_into_the_callers_buffer(any_ring):
    ring = any_ring
    buf = bytearray(16)
    assert ring.pop_into(buf) is None
    ring.push(b"hello")
    assert ring.pop_into(buf) == 5 and buf[:5] == b"hello"
    ring.push(b"x" * 17)
    with pytest.raises(ValueError, check=lambda e: e.reason == "too_large"):
        ring.pop_into(buf)
    assert ring.get_into(bytearray(17), timeout=1) == 17  # the message was left in the ring
    with pytest.raises(TypeError, match="argument 'buffer'"):
        ring.pop_into(b"immutable")


@pytest.mark.skipif(not HAS_BUFFERS, reason="needs the 3.11 stable ABI")
@pytest.mark.parametrize("make", [
    lambda b: memoryview(b), lambda b: array.array("B", b), lambda b: memoryview(bytearray(b))[1:],
])
def test_any_contiguous_buffer_goes_in_as_raw_bytes(ring, seg_name, make):
    data = make(b"\x01\x02\x03\x04")
    expected = bytes(data)
    assert ring.push(data)
    ring.put(data)
    assert ring.push_many([data]) == 1
    assert ring.pop_many(3) == [expected] * 3
    target = array.array("B", bytes(8))
    ring.push(data)
    assert ring.pop_into(memoryview(target)) == len(expected) and target.tobytes()[:len(expected)] == expected


@pytest.mark.skipif(not HAS_BUFFERS, reason="needs the 3.11 stable ABI")
def test_non_contiguous_buffers_are_refused(ring):
    with pytest.raises(BufferError):
        ring.push(memoryview(b"abcdef")[::2])
    assert ring.is_empty()


@pytest.mark.skipif(HAS_BUFFERS, reason="the 3.10 build takes only bytes-like types it knows")
def test_310_build_refuses_other_buffers(ring):
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        ring.push(memoryview(b"x"))


def test_large_messages_round_trip_with_copies_outside_the_interpreter_lock(seg_name):
    producer, consumer = make_ring(seg_name, 1 << 22), SM.open(seg_name).spsc()
    payloads = [os.urandom(n) for n in (65536, 1 << 20, 3 << 20)]
    target = bytearray(3 << 20)
    for p in payloads:
        producer.put(p)
        assert consumer.get() == p
        producer.put(bytearray(p))
        assert consumer.get_into(target) == len(p) and target[:len(p)] == p


# ---- one thread per role -------------------------------------------------------------

def test_two_producer_threads_never_interleave_inside_the_ring(seg_name):
    ring = make_ring(seg_name, 1 << 16)
    consumer = SM.open(seg_name).spsc()
    per_thread, size, barrier = 300, 20_000, threading.Barrier(2)

    def produce(tag):
        barrier.wait()
        for i in range(per_thread):
            ring.put(bytes([tag]) * size, timeout=30)

    threads = [threading.Thread(target=produce, args=(t,)) for t in (1, 2)]
    for t in threads:
        t.start()
    seen = {1: 0, 2: 0}
    for _ in range(2 * per_thread):
        msg = consumer.get(timeout=30)
        assert len(msg) == size and msg == msg[:1] * size, "two frames were written into each other"
        seen[msg[0]] += 1
    for t in threads:
        t.join()
    assert seen == {1: per_thread, 2: per_thread}


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_a_nested_call_in_the_same_role_is_refused_not_deadlocked(ring):
    """A signal handler that pushes while put() waits in the same thread."""
    ring.push(b"x" * 60)

    def handler(signum, frame):
        ring.push(b"nested")

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(RuntimeError, check=lambda e: e.reason == "busy"):
            ring.put(b"y", timeout=5)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert ring.pop() == b"x" * 60 and ring.pop() is None


def wake_delay(wait, act, idle):
    """`wait` blocks in a thread until `act`, run after `idle` seconds, lets
    it through; the delay between the act and the end of the wait."""
    ready, done = threading.Event(), []

    def waiter():
        ready.set()
        wait()
        done.append(time.monotonic())

    t = threading.Thread(target=waiter)
    t.start()
    assert ready.wait(5)
    time.sleep(idle)
    at = time.monotonic()
    act()
    t.join(5)
    assert done, "the waiter never returned"
    return done[0] - at


# Idle times spread over 10-20 ms: a sleeper's next look falls anywhere in its sleep.
IDLES = [0.010 + 0.0007 * i for i in range(15)]


def median(xs):
    return sorted(xs)[len(xs) // 2]


# Without a wake-up a sleeper notices only at the end of its sleep (several ms);
# with one, tens of microseconds. The bound sits far from both.
@pytest.mark.parametrize("publish", [lambda r: r.push(b"m"), lambda r: r.put(b"m"),
                                     lambda r: r.push_many([b"m"])], ids=["push", "put", "push_many"])
def test_every_publishing_call_wakes_a_sleeping_consumer(ring, publish):
    assert median([wake_delay(lambda: ring.get(timeout=5), lambda: publish(ring), idle) for idle in IDLES]) < 0.0015


def test_a_pop_from_a_ring_under_half_full_wakes_a_producer_waiting_for_room(seg_name):
    ring = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(4096)).spsc()

    def fill():  # 1500 of 4096 bytes used, no room for 3004
        while ring.pop() is not None:
            pass
        ring.push(b"f" * 1496)

    def wait():
        ring.put(b"b" * 3000, timeout=5)

    delays = []
    for idle in IDLES:
        fill()
        delays.append(wake_delay(wait, ring.pop, idle))
    assert median(delays) < 0.0015


@pytest.mark.skipif(not HAS_BUFFERS, reason="needs the 3.11 stable ABI")
@pytest.mark.parametrize("make", [lambda: (ctypes.py_object * 2)(1, 2), lambda: (ctypes.c_void_p * 2)(),
                                  lambda: (ctypes.POINTER(ctypes.c_int) * 2)(), lambda: (ctypes.c_char_p * 2)()],
                         ids=["objects", "void*", "int*", "char*"])
def test_buffers_of_addresses_are_refused_everywhere(seg_name, seg_names, make):
    ring = make_ring(seg_name, 256)
    view = SM.create(seg_names(1)[0], 68).map()
    for call in (ring.push, ring.put, lambda b: ring.push_many([b"a", b]), view.write):
        with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
            call(make())
    assert ring.pop() == b"a"  # what push_many took before the refused value
    ring.push(b"12345678")
    target = make()
    with pytest.raises(ValueError, check=lambda e: e.reason == "invalid_argument"):
        ring.pop_into(target)
    assert ring.pop() == b"12345678" and view.read_all() == bytes(64)
    view.close()


@pytest.mark.skipif(not HAS_BUFFERS, reason="needs the 3.11 stable ABI")
def test_structures_of_plain_fields_go_through_whatever_their_field_names(ring):
    class Rec(ctypes.Structure):
        _fields_ = [("O", ctypes.c_int32), ("P", ctypes.c_double)]  # names that look like forbidden codes

    recs = (Rec * 2)((1, 2.5), (3, 4.5))
    assert memoryview(recs).format.startswith("T{")
    assert ring.push(recs)
    out = (Rec * 2)()
    assert ring.pop_into(out) == 32 and (out[1].O, out[1].P) == (3, 4.5)
