"""MpmcRingBuffer: the calls it shares with the other rings, its consumer
slots, the end of the stream, pickling, and many producer and consumer
processes at once, consumers SIGKILLed among them. Every message across
processes carries (producer, sequence) and a checksum, so a lost, doubled,
reordered or torn message shows."""
import multiprocessing as mp
import os
import pickle
import queue
import signal
import struct
import subprocess
import sys
import zlib

import pytest

import velmora
from conftest import reap, start_all, wait_for

MPMC = velmora.MpmcRingBuffer
CTX = mp.get_context("fork")
DEADLINE_S = 120


@pytest.fixture
def ring(seg_name):
    r = MPMC.create(seg_name, 256, producers=4, consumers=4)
    yield r
    r.close()


# ---- one process ---------------------------------------------------------------

# (send, receive, what comes out) for each way in and out.
CALLS = [
    (lambda r: r.push(b"abc"), lambda r: r.pop(), b"abc"),
    (lambda r: r.put(b"abc", timeout=1), lambda r: r.get(timeout=1), b"abc"),
    (lambda r: r.push(7), lambda r: r.pop("i64"), 7),
    (lambda r: r.put("z\u00e9"), lambda r: r.get("str", timeout=1), "z\u00e9"),
    (lambda r: r.push([1, 2.5, "x"]), lambda r: r.pop_mixed([("i64", 1), ("f64", 1), ("str", 1)]), [1, 2.5, "x"]),
    (lambda r: r.push([3, "y"]), lambda r: r.get_mixed([("i64", 1), ("str", 1)], timeout=1), [3, "y"]),
    (lambda r: r.push_many([b"a", b"bb", b"ccc"]), lambda r: r.pop_many(10), [b"a", b"bb", b"ccc"]),
    (lambda r: r.push_many([1, 2]), lambda r: r.pop_many(10, "i64"), [1, 2]),
    (lambda r: r.push(b"into"), lambda r: (lambda b: bytes(b[: r.pop_into(b)]))(bytearray(16)), b"into"),
    # (a memoryview where the build takes any buffer: 3.11+; 3.10's takes a bytearray)
    (lambda r: r.push(b"into"),
     lambda r: (lambda b: bytes(b[: r.get_into(memoryview(b) if sys.version_info >= (3, 11) else b, timeout=1)]))(
         bytearray(8)),
     b"into"),
]


@pytest.mark.parametrize("send, receive, expected", CALLS)
def test_each_call_round_trips(ring, send, receive, expected):
    send(ring)
    assert not ring.is_empty()
    assert receive(ring) == expected
    assert ring.is_empty() and ring.used() == 0


@pytest.mark.parametrize("call, result", [
    (lambda r: r.pop(), None),
    (lambda r: r.pop_into(bytearray(8)), None),
    (lambda r: r.pop_mixed([("i64", 1)]), None),
    (lambda r: r.pop_many(5), []),
])
def test_empty_ring_gives_nothing(ring, call, result):
    assert call(ring) == result


@pytest.mark.parametrize("call", [
    lambda r: r.get(timeout=0.01),
    lambda r: r.get_into(bytearray(8), timeout=0),
    lambda r: r.get_mixed([("i64", 1)], timeout=0.01),
])
def test_waits_time_out_with_queue_empty(ring, call):
    with pytest.raises(queue.Empty):
        call(ring)


def test_too_small_buffer_leaves_the_message_for_any_consumer(seg_name):
    with MPMC.create(seg_name, 256, producers=2, consumers=2) as a, MPMC.open(seg_name) as b:
        a.push(b"0123456789")
        with pytest.raises(ValueError, match="10"):
            a.pop_into(bytearray(4))
        assert b.pop() == b"0123456789"


def test_pop_many_takes_from_every_producer(seg_name):
    with MPMC.create(seg_name, 64, producers=2, consumers=1) as c, MPMC.open(seg_name) as p1, \
            MPMC.open(seg_name) as p2:
        a, b = p1.push_many([b"x" * 8] * 8), p2.push_many([b"y" * 8] * 8)
        assert a >= 2 and b >= 2
        got = c.pop_many(100)
        assert b"x" * 8 in got[:2] and b"y" * 8 in got[:2]  # lanes in turn, not one drained first
        got += c.pop_many(100)
        assert sorted(got) == [b"x" * 8] * a + [b"y" * 8] * b


@pytest.mark.parametrize("capacity, producers, consumers, error", [
    (1000, 8, 8, "capacity 1000"),
    (64, 0, 8, "producers must be between 1 and 1024, not 0"),
    (64, 8, 0, "consumers must be between 1 and 1024, not 0"),
    (64, 8, 1025, "consumers must be between 1 and 1024, not 1025"),
])
def test_create_refuses_bad_sizes(seg_name, capacity, producers, consumers, error):
    with pytest.raises(ValueError, match=error):
        MPMC.create(seg_name, capacity, producers=producers, consumers=consumers)
    with pytest.raises(FileNotFoundError):
        velmora.SharedMemory.open(seg_name)


def test_header_and_segment_size(seg_name):
    with MPMC.create(seg_name, 1024, producers=3, consumers=5, expect=3) as r:
        assert (r.slots, r.consumer_slots, r.capacity(), r.max_payload, r.expected) == (3, 5, 1024, 1020, 3)
        assert velmora.SharedMemory.open(seg_name).size() >= MPMC.segment_size(1024, 3)
    assert MPMC.segment_size(1024, 3) == velmora.MpscRingBuffer.segment_size(1024, 3)


def test_consumer_slots_are_taken_at_the_first_consuming_call(seg_name):
    made = MPMC.create(seg_name, 64, producers=1, consumers=2)
    others = [MPMC.open(seg_name) for _ in range(2)]
    try:
        assert not made.has_consumer()
        assert made.pop() is None  # takes slot 0
        assert made.has_consumer() and made.consumers() == [os.getpid()]
        assert others[0].pop_many(1) == []  # slot 1
        with pytest.raises(BlockingIOError, match="all 2 consumer slots"):
            others[1].get(timeout=0)
        others[0].close()  # its slot is free again
        assert others[1].pop() is None
    finally:
        for r in [made, *others]:
            r.close()


def test_producer_slot_and_end(seg_name):
    with MPMC.create(seg_name, 64, producers=1, consumers=1) as p, MPMC.open(seg_name) as q:
        assert not p.has_producer() and p.free() == 64
        p.push(b"1234")
        assert p.has_producer() and p.producers() == [os.getpid()] and p.free() == 56
        with pytest.raises(BlockingIOError, match="producer slots"):
            q.push(b"x")
        p.end()
        assert not p.has_producer()
        assert q.push(b"x")


@pytest.mark.parametrize("call", [lambda r: r.fileno(), lambda r: r.room_fileno()])
def test_no_descriptor_for_event_loops(ring, call):
    with pytest.raises(NotImplementedError, match="get\\(\\)"):
        call(ring)


@pytest.mark.parametrize("expect, second_producer_ends_it", [(None, False), (2, True)])
def test_eof_waits_for_the_expected_producers(seg_name, expect, second_producer_ends_it):
    with MPMC.create(seg_name, 64, producers=2, consumers=1, expect=expect) as c, \
            MPMC.open(seg_name) as p1, MPMC.open(seg_name) as p2:
        with pytest.raises(queue.Empty):
            c.get(timeout=0.05, eof=True)  # nobody was there yet
        p1.push(b"one")
        p1.end()
        assert c.get(timeout=1, eof=True) == b"one"
        if not second_producer_ends_it:
            with pytest.raises(EOFError, match="all its producers have gone"):
                c.get(timeout=1, eof=True)
            return
        with pytest.raises(queue.Empty):
            c.get(timeout=0.05, eof=True)  # one of two expected producers has ended
        p2.push(b"two")
        p2.close()
        assert c.get_into(bytearray(8), timeout=1, eof=True) == 3
        with pytest.raises(EOFError):
            c.get(timeout=1, eof=True)


def test_pickle_reopens_by_name_in_a_child(seg_name):
    with MPMC.create(seg_name, 256, producers=2, consumers=2) as r:
        r.push(b"from parent")
        blob = pickle.dumps(r)
        code = ("import pickle, sys; r = pickle.loads(bytes.fromhex(sys.argv[1]));"
                "assert r.pop() == b'from parent'; r.push(b'from child'); print(type(r).__name__)")
        done = subprocess.run([sys.executable, "-c", code, blob.hex()], capture_output=True, text=True,
                              timeout=DEADLINE_S, cwd=os.path.dirname(__file__))
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "MpmcRingBuffer"
        assert r.get(timeout=1) == b"from child"


# ---- processes -------------------------------------------------------------------

def message(producer, seq):
    body = bytes((producer * 31 + seq + i) & 0xFF for i in range(seq % 41))
    head = struct.pack("<II", producer, seq)
    return head + body + struct.pack("<I", zlib.crc32(head + body))


def parse(msg):
    """(producer, seq), after checking the message is whole."""
    assert zlib.crc32(msg[:-4]) == struct.unpack_from("<I", msg, len(msg) - 4)[0], msg
    producer, seq = struct.unpack_from("<II", msg)
    assert msg == message(producer, seq)
    return producer, seq


def _produce(name, producer, count):
    with MPMC.open(name) as ring:
        for seq in range(count):
            ring.put(message(producer, seq), timeout=DEADLINE_S)


def _consume(name, out):
    """Takes until the stream ends and sends back what it took, in order."""
    taken = []
    with MPMC.open(name) as ring:
        while True:
            try:
                taken.append(parse(ring.get(timeout=DEADLINE_S, eof=True)))
            except EOFError:
                break
    out.put(taken)


def _consume_and_log(name, log_path, attached=None, go=None):
    """Logs each message as it is taken, 8 bytes a write, until killed or the
    end; with `go`, it takes its consumer slot, sets `attached` and waits for
    `go` first."""
    fd = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    with MPMC.open(name) as ring:
        if go is not None:
            assert ring.pop_many(0) == []  # claims the slot
            attached.set()
            go.wait()
        while True:
            try:
                producer, seq = parse(ring.get(timeout=DEADLINE_S, eof=True))
            except EOFError:
                return
            os.write(fd, struct.pack("<II", producer, seq))


def read_log(path):
    data = open(path, "rb").read() if os.path.exists(path) else b""
    return [struct.unpack_from("<II", data, i) for i in range(0, len(data) - len(data) % 8, 8)]


def check_per_producer_order(taken):
    last = {}
    for producer, seq in taken:
        assert seq > last.get(producer, -1), (producer, seq)
        last[producer] = seq


def test_three_producers_three_consumers_each_message_once(seg_name):
    n = 2_000
    MPMC.create(seg_name, 512, producers=3, consumers=3, expect=3).close()
    out = CTX.Queue()
    consumers = start_all([CTX.Process(target=_consume, args=(seg_name, out)) for _ in range(3)])
    producers = start_all([CTX.Process(target=_produce, args=(seg_name, p, n)) for p in range(3)])
    try:
        results = [out.get(timeout=DEADLINE_S) for _ in range(3)]
    finally:
        codes = reap(producers + consumers, DEADLINE_S)
    assert codes == [0] * 6
    for taken in results:
        check_per_producer_order(taken)
    everything = sorted(m for taken in results for m in taken)
    assert everything == [(p, s) for p in range(3) for s in range(n)]


def test_killed_consumers_lose_at_most_one_message_each(seg_name, tmp_path):
    n, kills = 4_000, 3
    MPMC.create(seg_name, 256, producers=2, consumers=3, expect=2).close()
    producers = start_all([CTX.Process(target=_produce, args=(seg_name, p, n)) for p in range(2)])
    logs = [tmp_path / f"consumer-{i}" for i in range(kills + 2)]
    # Victims one after another, each the only consumer taking while it runs,
    # so it is sure to be mid-stream when killed; beside them, a consumer
    # attached throughout (a ring left with no consumer at all would rightly
    # make the producers' put() raise BrokenPipeError), which takes once the
    # victims are dead.
    attached, go = CTX.Event(), CTX.Event()
    steady = start_all([CTX.Process(target=_consume_and_log, args=(seg_name, logs[-1], attached, go))])
    try:
        assert attached.wait(DEADLINE_S)
        for i in range(kills):
            victim = start_all([CTX.Process(target=_consume_and_log, args=(seg_name, logs[i]))])[0]
            assert wait_for(lambda: len(read_log(logs[i])) >= 50, DEADLINE_S), "the victim took nothing"
            os.kill(victim.pid, signal.SIGKILL)
            victim.join(DEADLINE_S)
            assert victim.exitcode == -signal.SIGKILL
        go.set()
        last = start_all([CTX.Process(target=_consume_and_log, args=(seg_name, logs[kills]))])
        codes = reap(producers + steady + last, DEADLINE_S)
    finally:
        go.set()
        reap(producers + steady, 1)
    assert codes == [0] * 4
    taken = [read_log(path) for path in logs]
    for one in taken:
        check_per_producer_order(one)
    everything = [m for one in taken for m in one]
    assert len(everything) == len(set(everything)), "a message was taken twice"
    lost = {(p, s) for p in range(2) for s in range(n)} - set(everything)
    assert len(everything) + len(lost) == 2 * n
    assert len(lost) <= kills, sorted(lost)


def _pop_in_child(ring, out):
    try:
        out.put(("took", ring.pop()))
    except BlockingIOError as e:
        out.put(("refused", str(e)))


@pytest.mark.parametrize("consumers, answer", [(1, "refused"), (2, "took")])
def test_fork_child_takes_a_consumer_slot_of_its_own(seg_name, consumers, answer):
    with MPMC.create(seg_name, 64, producers=1, consumers=consumers) as ring:
        ring.push(b"m")
        assert ring.pop_many(0) == []  # the parent holds slot 0
        out = CTX.Queue()
        child = start_all([CTX.Process(target=_pop_in_child, args=(ring, out))])
        got = out.get(timeout=DEADLINE_S)
        assert reap(child, DEADLINE_S) == [0]
        assert got[0] == answer, got
        assert ring.pop() == (None if answer == "took" else b"m")
