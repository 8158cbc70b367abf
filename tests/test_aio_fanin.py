"""Event loops on the fan-in ring: fileno() for the consumer, room_fileno()
for each producer (its own lane), velmora.aio over both, with producers in
other processes."""
import asyncio
import multiprocessing as mp
import selectors
import struct
import sys
import time

import pytest

import velmora
import velmora.aio

from conftest import LOOPS, reap, run_loop, settle_selector, start_all
from test_aio import _push_later, _take_later

MPSC = velmora.MpscRingBuffer

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fileno() is Linux-only")

CTX = mp.get_context("spawn")
DEADLINE_S = 60
run = run_loop


def message(producer, seq):
    head = struct.pack("<II", producer, seq)
    return head + bytes([(producer * 7 + seq) & 0xFF]) * (seq * 13 % 200)


@pytest.fixture
def fanin(seg_name):
    """A consumer handle of a 3-producer ring of 1 KiB lanes."""
    ring = MPSC.create(seg_name, 1024, producers=3)
    yield ring
    ring.close()


# ---- helpers run in other processes -------------------------------------------------

def _produce(name, producer, count, attached, go, how):
    """Sends `count` messages, then closes. `how`: "put" (blocking), "aio"
    (velmora.aio put: waits on this lane's room_fileno()), with idle gaps now
    and then so that the consumer goes to sleep on its descriptor. Its slot
    is claimed (by room_fileno()) before `attached` is set: a consumer with
    eof=True ends once no producer it saw is attached."""
    ring = MPSC.open(name)
    ring.room_fileno()
    attached.set()
    go.wait(DEADLINE_S)

    async def send():
        chan = velmora.aio.wrap(ring)
        for seq in range(count):
            await chan.put(message(producer, seq), timeout=DEADLINE_S)
            if seq % 101 == producer:
                await asyncio.sleep(0.003)

    if how == "aio":
        asyncio.run(send())
    else:
        for seq in range(count):
            ring.put(message(producer, seq), timeout=DEADLINE_S)
            if seq % 101 == producer:
                time.sleep(0.003)
    ring.close()


# ---- streaming ----------------------------------------------------------------------

@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("how", "send"), [("async_for", "put"), ("async_for", "aio"), ("get", "aio")])
def test_three_producer_processes_into_asyncio_consumer(fanin, seg_name, loop_kind, how, send):
    """Each producer's messages arrive whole and in order, and async for with
    eof=True ends once all three have closed. With "aio" producers each waits
    on its own lane's room descriptor in its own process (lanes of 1 KiB fill
    quickly), which a room bell shared by the lanes would refuse."""
    count = 1500
    go, attached = CTX.Event(), [CTX.Event() for _ in range(3)]
    procs = start_all([CTX.Process(target=_produce, args=(seg_name, p, count, attached[p], go, send)) for p in range(3)])
    assert all(a.wait(DEADLINE_S) for a in attached)
    assert len(fanin.producers()) == 3

    async def consume():
        got = {}

        def take(msg):
            producer, seq = struct.unpack_from("<II", msg)
            assert msg == message(producer, seq)
            got.setdefault(producer, []).append(seq)

        go.set()
        if how == "async_for":
            async for msg in velmora.aio.wrap(fanin, batch=16, eof=True):
                take(msg)
        else:
            chan = velmora.aio.wrap(fanin)
            while True:
                try:
                    take(await chan.get(timeout=DEADLINE_S, eof=True))
                except EOFError:
                    break
        return got

    try:
        got = run(loop_kind, consume())
    finally:
        codes = reap(procs, DEADLINE_S)
    assert codes == [0, 0, 0]
    assert got == {p: list(range(count)) for p in range(3)}


def test_selectors_on_fileno_and_each_lanes_room_fileno(fanin, seg_name):
    """fileno() turns readable when a producer process publishes; a full
    lane's room_fileno() turns readable when a consumer in another process
    drains it. Each producer handle listens on its own lane's descriptor."""
    a, b = MPSC.open(seg_name), MPSC.open(seg_name)
    sel = selectors.DefaultSelector()
    try:
        sel.register(fanin.fileno(), selectors.EVENT_READ, "data")
        settle_selector(sel, "data", fanin.pop)
        proc = CTX.Process(target=_push_later, args=("mpsc", seg_name, 0.1, b"hello"))
        proc.start()
        ready = sel.select(20)
        proc.join(DEADLINE_S)
        assert [key.data for key, _ in ready] == ["data"]
        assert fanin.pop() == b"hello"
        sel.unregister(fanin.fileno())

        assert a.room_fileno() != b.room_fileno()
        sel.register(a.room_fileno(), selectors.EVENT_READ, "room a")
        while a.push(b"r" * 200):
            pass
        settle_selector(sel, "room a", lambda: a.push(b"r" * 200))
        assert sel.select(0.1) == []
        proc = CTX.Process(target=_take_later, args=("mpsc", seg_name, 0.1, 2))
        fanin.close()  # the consumer role goes to the other process
        proc.start()
        ready = sel.select(20)
        proc.join(DEADLINE_S)
        assert proc.exitcode == 0
        assert [key.data for key, _ in ready] == ["room a"]
        assert a.push(b"r" * 200)
    finally:
        sel.close()
        a.close()
        b.close()


def _forked_room_wait(handle, report):
    """In a fork child of a process whose `handle` already listens for room on
    its lane: the child's handle takes a slot of its own, and its
    room_fileno() must follow it there."""
    fd = handle.room_fileno()
    while handle.push(b"c" * 200):
        pass
    sel = selectors.DefaultSelector()
    sel.register(fd, selectors.EVENT_READ, "room")
    settle_selector(sel, "room", lambda: handle.push(b"c" * 200))
    report.put("full")
    ready = sel.select(20)
    report.put(bool(ready) and handle.push(b"c" * 200))


def test_fork_child_room_fileno_listens_on_its_own_lane(fanin, seg_name):
    a = MPSC.open(seg_name)
    a.room_fileno()  # listens on the parent's lane
    report = mp.get_context("fork").Queue()
    child = mp.get_context("fork").Process(target=_forked_room_wait, args=(a, report))
    child.start()
    try:
        assert report.get(timeout=DEADLINE_S) == "full"
        assert fanin.pop_many(100)  # the child's lane is the only one with messages
        assert report.get(timeout=DEADLINE_S) is True
    finally:
        child.join(DEADLINE_S)
        a.close()
    assert child.exitcode == 0


def test_consumer_fileno_is_one_per_process_and_room_fileno_takes_a_slot(seg_name):
    ring = MPSC.create(seg_name, 256, producers=1)
    other = MPSC.open(seg_name)
    try:
        assert ring.fileno() == other.fileno()  # one data bell per segment, shared in the process
        ring.room_fileno()
        with pytest.raises(BlockingIOError, check=lambda e: e.reason == "busy"):
            other.room_fileno()
        ring.close()
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            ring.fileno()
    finally:
        other.close()
