"""Event loops on broadcast: Subscriber.fileno() / Publisher.room_fileno()
and velmora.aio over them, with publishers and subscribers in other
processes, under the default asyncio loop and uvloop."""
import asyncio
import multiprocessing as mp
import os
import queue
import selectors
import signal
import struct
import sys
import threading
import time

import pytest

import velmora
import velmora.aio
from velmora import Publisher, Subscriber

from conftest import second_mapping

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fileno() is Linux-only")

try:
    import uvloop
except ImportError:  # the uvloop cases skip
    uvloop = None

LOOPS = [
    pytest.param("asyncio", id="asyncio"),
    pytest.param("uvloop", id="uvloop",
                 marks=pytest.mark.skipif(uvloop is None, reason="uvloop is not installed")),
]

CTX = mp.get_context("spawn")


def run(kind, coro):
    if kind == "uvloop":
        loop = uvloop.new_event_loop()
        try:
            return loop.run_until_complete(coro)
        finally:
            loop.close()
    return asyncio.run(coro)


def payload(seq):
    return seq.to_bytes(4, "little") + bytes([seq % 251]) * (seq * 7 % 200)


def wait_for(predicate, timeout=20):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


# ---- helpers run in other processes -------------------------------------------------

def _publish(name, count, created, overflow, gaps):
    """Creates the segment, waits for one subscriber, publishes `count` messages
    (pausing now and then, so the subscriber's loop goes to sleep), closes."""
    pub = Publisher.create(name, 256, 8, subscribers=2, overflow=overflow)
    created.set()
    assert wait_for(lambda: len(pub.subscribers()) >= 1)
    for seq in range(count):
        pub.publish(payload(seq), timeout=30)
        if gaps and seq % 50 == 0:
            time.sleep(0.003)
    pub.close()


def _slow_subscriber(name, joined, go, count, conn):
    sub = Subscriber.open(name)
    joined.set()
    go.wait(30)
    got = [sub.receive(timeout=30) for _ in range(count)]
    conn.send(got)


# ---- receiving from a publisher process -----------------------------------------------

@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize(("how", "overflow"), [
    ("receive", "block"), ("receive_view", "block"), ("async_for_eof", "block"), ("receive_eof", "block"),
    ("receive", "overwrite"),
])
def test_subscriber_receives_from_publisher_process(seg_name, loop_kind, how, overflow):
    count = 600
    created = CTX.Event()
    proc = CTX.Process(target=_publish, args=(seg_name, count, created, overflow, True))
    proc.start()
    try:
        assert created.wait(30)
        sub = Subscriber.open(seg_name)

        async def consume():
            chan = velmora.aio.wrap(sub, eof=how == "async_for_eof")
            got = []
            if how == "async_for_eof":
                async for msg in chan:  # ends when the publisher closes
                    got.append(msg)
            elif how == "receive_eof":
                while (msg := await chan.receive(timeout=20, eof=True)) is not None:
                    got.append(msg)
            elif how == "receive_view":
                for _ in range(count):
                    with await chan.receive_view(timeout=20) as mv:
                        got.append(bytes(mv))
            else:
                while len(got) < count - sub.missed():
                    got.append(await chan.receive(timeout=20))
            return got

        got = run(loop_kind, asyncio.wait_for(consume(), 90))
    finally:
        proc.join(30)
    assert proc.exitcode == 0
    if overflow == "overwrite":  # whole messages in order; gaps only where missed
        seqs = [int.from_bytes(m[:4], "little") for m in got]
        assert seqs == sorted(seqs) and all(m == payload(s) for m, s in zip(got, seqs))
        assert len(got) + sub.missed() == count
    else:
        assert got == [payload(i) for i in range(count)]
    sub.close()


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("call", ["receive", "receive_view", "async_for"])
def test_cancelled_receive_consumes_nothing(seg_name, loop_kind, call):
    pub = Publisher.create(seg_name, 64, 4, subscribers=2)
    sub = Subscriber.open(seg_name)

    async def main():
        chan = velmora.aio.wrap(sub)

        async def receive():
            if call == "receive":
                return await chan.receive()
            if call == "receive_view":
                with await chan.receive_view() as mv:
                    return bytes(mv)
            return await chan.__aiter__().__anext__()

        pending = asyncio.ensure_future(receive())
        await asyncio.sleep(0.05)  # past the settle: it sleeps on the descriptor
        assert not pending.done()
        pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        pub.publish(b"one")
        return await asyncio.wait_for(receive(), 10)

    assert run(loop_kind, main()) == b"one"
    with pytest.raises(queue.Empty):
        sub.receive(timeout=0)
    sub.close()
    pub.close()


def test_timeouts_raise_empty_and_full():
    name = f"/velmora-aiob-{id(test_timeouts_raise_empty_and_full)}-{time.monotonic_ns()}"
    pub = Publisher.create(name, 64, 1, subscribers=1)
    try:
        sub = Subscriber.open(name)

        async def main():
            with pytest.raises(queue.Empty):
                await velmora.aio.wrap(sub).receive(timeout=0.05)
            out = velmora.aio.wrap(pub)
            await out.publish(b"a", timeout=1)
            with pytest.raises(queue.Full):
                await out.publish(b"b", timeout=0.05)  # depth 1, nothing received yet

        asyncio.run(main())
        assert sub.receive(timeout=0) == b"a"
        with pytest.raises(queue.Empty):
            sub.receive(timeout=0)  # the timed-out publish published nothing
        sub.close()
    finally:
        pub.close()
        velmora.SharedMemory.remove(name)


# ---- the descriptors with selectors ----------------------------------------------------

def _settle(sel, call, nothing=queue.Empty):
    """Calls `call` until the selector stops reporting the descriptor: bounded."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < 5:
        with pytest.raises(nothing):
            call()
        if not sel.select(0.05):
            return
    pytest.fail("the descriptor never stopped being readable")


def test_selectors_on_subscriber_fileno_publish_and_close(seg_name):
    pub = Publisher.create(seg_name, 64, 4, subscribers=2)
    sub = Subscriber.open(seg_name)
    other = Subscriber.open(seg_name)  # not listening: never rung, never in the way
    sel = selectors.DefaultSelector()
    sel.register(sub.fileno(), selectors.EVENT_READ)
    assert sub.fileno() == sub.fileno()
    _settle(sel, lambda: sub.receive(timeout=0))

    t = threading.Timer(0.1, pub.publish, args=(b"hello",))
    t.start()
    assert len(sel.select(20)) == 1
    t.join()
    assert sub.receive(timeout=0) == b"hello"
    assert other.receive(timeout=0) == b"hello"

    # The publisher's close makes it readable too: receive(eof=True) ends there.
    _settle(sel, lambda: sub.receive(timeout=0, eof=True))
    t = threading.Timer(0.1, pub.close)
    t.start()
    assert len(sel.select(20)) == 1
    t.join()
    assert sub.receive(timeout=0, eof=True) is None
    sel.close()
    sub.close()
    other.close()
    with pytest.raises(ValueError, match="is closed"):
        sub.fileno()


def test_selectors_on_room_fileno_block_and_overwrite(seg_name):
    pub = Publisher.create(seg_name, 64, 2, subscribers=1)
    sub = Subscriber.open(seg_name)
    sel = selectors.DefaultSelector()
    sel.register(pub.room_fileno(), selectors.EVENT_READ)
    pub.publish(b"1")
    pub.publish(b"2")
    _settle(sel, lambda: pub.publish(b"3", timeout=0), queue.Full)
    t = threading.Timer(0.1, sub.receive)
    t.start()
    assert len(sel.select(20)) == 1
    t.join()
    pub.publish(b"3", timeout=0)
    sel.close()
    sub.close()
    pub.close()

    # Overwrite: publish never waits, the descriptor is always readable.
    name = seg_name + "-ow"
    ow = Publisher.create(name, 64, 2, subscribers=1, overflow="overwrite")
    try:
        sel = selectors.DefaultSelector()
        sel.register(ow.room_fileno(), selectors.EVENT_READ)
        for i in range(5):
            ow.publish(b"x", timeout=0)
            assert len(sel.select(0)) == 1
        sel.close()
    finally:
        ow.close()
        velmora.SharedMemory.remove(name)


# ---- publishing from a loop ---------------------------------------------------------------

@pytest.mark.parametrize("loop_kind", LOOPS)
def test_await_publish_wakes_when_a_slow_subscriber_catches_up(seg_name, loop_kind):
    pub = Publisher.create(seg_name, 64, 2, subscribers=2)
    joined, go = CTX.Event(), CTX.Event()
    parent, child = CTX.Pipe()
    proc = CTX.Process(target=_slow_subscriber, args=(seg_name, joined, go, 4, child))
    proc.start()
    try:
        assert joined.wait(30)

        async def main():
            chan = velmora.aio.wrap(pub)
            await chan.publish(b"m0", timeout=5)
            await chan.publish(b"m1", timeout=5)
            # Full (depth 2): a cancelled publish publishes nothing...
            pending = asyncio.ensure_future(chan.publish(b"never"))
            await asyncio.sleep(0.05)
            assert not pending.done()
            pending.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pending
            # ...and a waiting one is woken by the subscriber's progress.
            waiting = asyncio.ensure_future(chan.publish(b"m2", timeout=30))
            await asyncio.sleep(0.2)
            assert not waiting.done()
            t0 = time.monotonic()
            go.set()
            await waiting
            woke = time.monotonic() - t0
            await chan.publish(b"m3", timeout=30)
            return woke

        woke = run(loop_kind, main())
        assert parent.poll(30)
        assert parent.recv() == [b"m0", b"m1", b"m2", b"m3"]
        assert woke < 20
    finally:
        proc.join(30)
        pub.close()
    assert proc.exitcode == 0


def test_wrap_takes_a_publisher_and_a_subscriber_refuses_leftover_read_ahead(seg_name):
    pub = Publisher.create(seg_name, 64, 8, subscribers=1)
    sub = Subscriber.open(seg_name)
    assert velmora.aio.wrap(pub).channel is pub

    async def main():
        chan = velmora.aio.wrap(sub, batch=8)
        for i in range(3):
            pub.publish(bytes([i]))
        it = chan.__aiter__()
        first = await it.__anext__()  # takes all three from the segment
        with pytest.raises(ValueError, match="async for"):
            await chan.receive_view()
        rest = [await chan.receive(), await chan.receive()]  # served from what was read ahead
        await it.aclose()
        return [first] + rest

    assert asyncio.run(main()) == [b"\x00", b"\x01", b"\x02"]
    sub.close()
    pub.close()


# ---- a subscriber killed while it waits ----------------------------------------------------

SLEEPERS, LISTENERS = 72, 140  # header words: subscribers asleep in a blocking receive / in a loop


def _wait_then_hang(name, how):
    sub = Subscriber.open(name)
    if how == "blocking":
        sub.receive()
    else:
        asyncio.run(velmora.aio.wrap(sub).receive())


@pytest.mark.parametrize(("how", "word"), [("blocking", SLEEPERS), ("event_loop", LISTENERS)])
def test_subscriber_killed_while_waiting_leaves_no_raised_count(seg_name, how, word):
    """Its count would otherwise cost every later publish a wake-up call (or a
    scan of the entries) for ever."""
    pub = Publisher.create(seg_name, 64, 4, subscribers=2, overflow="overwrite")
    raw = second_mapping(seg_name)
    count = lambda: struct.unpack_from("<I", raw.buf, word)[0]  # noqa: E731
    proc = CTX.Process(target=_wait_then_hang, args=(seg_name, how))
    proc.start()
    try:
        assert wait_for(lambda: count() == 1), "the subscriber never went to sleep"
        os.kill(proc.pid, signal.SIGKILL)
        proc.join(10)
        assert count() == 1
        end = time.monotonic() + 10
        while count() != 0 and time.monotonic() < end:
            pub.publish(b"x")
            time.sleep(0.02)
        assert count() == 0
    finally:
        if proc.is_alive():
            proc.kill()
        pub.close()
        raw.close()
