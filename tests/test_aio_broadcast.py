"""Event loops on broadcast: Subscriber.fileno() / Publisher.room_fileno()
and velmora.aio over them, with publishers and subscribers in other
processes, under the default asyncio loop and uvloop."""
import asyncio
import multiprocessing as mp
import os
import queue
import selectors
import signal
import subprocess
import struct
import sys
import threading
import time

import pytest

import velmora
import velmora.aio
from velmora import Publisher, Subscriber

from conftest import LOOPS, run_loop as run, second_mapping, settle_selector, wait_for

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fileno() is Linux-only")

CTX = mp.get_context("spawn")


def payload(seq):
    return seq.to_bytes(4, "little") + bytes([seq % 251]) * (seq * 7 % 200)


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
                while True:
                    try:
                        got.append(await chan.receive(timeout=20, eof=True))
                    except EOFError:
                        break
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


def test_timeouts_raise_empty_and_full(seg_name):
    pub = Publisher.create(seg_name, 64, 1, subscribers=1)
    sub = Subscriber.open(seg_name)

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
    pub.close()


# ---- the descriptors with selectors ----------------------------------------------------

def _settle(sel, call, nothing=queue.Empty):
    settle_selector(sel, None, call, nothing)


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
    with pytest.raises(EOFError):
        sub.receive(timeout=0, eof=True)
    sel.close()
    sub.close()
    other.close()
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
        sub.fileno()


def test_selectors_on_room_fileno_block_and_overwrite(seg_name, seg_names):
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
    ow = Publisher.create(seg_names(1, "ow")[0], 64, 2, subscribers=1, overflow="overwrite")
    sel = selectors.DefaultSelector()
    sel.register(ow.room_fileno(), selectors.EVENT_READ)
    for i in range(5):
        ow.publish(b"x", timeout=0)
        assert len(sel.select(0)) == 1
    sel.close()
    ow.close()


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


def test_wrap_takes_a_publisher_and_a_subscriber_and_async_for_takes_only_what_it_yields(seg_name):
    pub = Publisher.create(seg_name, 64, 8, subscribers=1)
    sub = Subscriber.open(seg_name)
    assert velmora.aio.wrap(pub).channel is pub

    async def main():
        chan = velmora.aio.wrap(sub, batch=8)
        for i in range(3):
            pub.publish(bytes([i]))
        it = chan.__aiter__()
        first = await it.__anext__()  # takes the first only
        with await chan.receive_view() as view:
            second = bytes(view)
        rest = [await it.__anext__()]
        await it.aclose()
        return [first, second] + rest

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


# ---- idle loops and interpreter exit ----------------------------------------------------

IDLE_SCRIPT = r"""
import asyncio, sys, time, velmora, velmora.aio
subs = [velmora.Subscriber.open(n) for n in sys.argv[1:]]
async def main():
    waits = [asyncio.ensure_future(velmora.aio.wrap(s).receive()) for s in subs]
    await asyncio.sleep(0.5)
    c0, t0 = time.process_time(), time.monotonic()
    await asyncio.sleep(2.0)
    print(time.process_time() - c0, time.monotonic() - t0, sum(w.done() for w in waits), flush=True)
    sys.stdin.readline()  # published meanwhile: every wait ends
    done = await asyncio.wait_for(asyncio.gather(*waits), 20)
    print(len(done), flush=True)
asyncio.run(main())
"""


def test_idle_loop_awaiting_many_subscribers_uses_little_cpu_and_wakes_each(seg_names):
    names = seg_names(50, "idle")
    pubs = [Publisher.create(n, 64, 2, subscribers=1) for n in names]
    proc = subprocess.Popen([sys.executable, "-c", IDLE_SCRIPT, *names], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        cpu, wall, done = proc.stdout.readline().split()
        for p in pubs:
            p.publish(b"wake")
        proc.stdin.write("\n")
        proc.stdin.flush()
        received = proc.stdout.readline().strip()
        proc.wait(30)
    finally:
        proc.kill()
        proc.wait()
        for p in pubs:
            p.close()
    assert int(done) == 0
    assert float(cpu) / float(wall) <= 0.01, f"{float(cpu) / float(wall):.2%} of a core while idle"
    assert received == "50"


EXIT_SCRIPT = r"""
import asyncio, sys, time, velmora, velmora.aio
sub = velmora.Subscriber.open(sys.argv[1])
pub = velmora.Publisher.create(sys.argv[2], 64, 1, subscribers=1)
blocker = velmora.Subscriber.open(sys.argv[2])
pub.publish(b"fills it")
returned = None
async def main():
    global returned
    asyncio.ensure_future(velmora.aio.wrap(sub).receive())        # pending when main returns
    asyncio.ensure_future(velmora.aio.wrap(pub).publish(b"more"))  # no room: pending too
    await asyncio.sleep(0.2)
    returned = time.monotonic()
asyncio.run(main())
print(time.monotonic() - returned)
"""


def test_asyncio_run_exits_promptly_with_pending_receive_and_publish(seg_name, seg_names):
    pub = Publisher.create(seg_name, 64, 2, subscribers=1)
    try:
        out = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, seg_name, *seg_names(1, "full")],
                             capture_output=True, text=True, timeout=60)
    finally:
        pub.close()
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) < 1.0  # from main's return to the end of asyncio.run


def test_receive_many_takes_what_waits_up_to_the_count_and_ends_with_eof(seg_name):
    """The batch behind `async for`: never waits, never takes more than asked."""
    pub = Publisher.create(seg_name, 64, 8, subscribers=1)
    sub = Subscriber.open(seg_name)
    for i in range(5):
        pub.publish(bytes([i]))
    assert sub._receive_many(3) == [b"\x00", b"\x01", b"\x02"]
    assert sub._receive_many(10, eof=True) == [b"\x03", b"\x04"]
    assert sub._receive_many(10) == []
    assert sub._receive_many(10, eof=True) == []  # the publisher is still there
    pub.publish(b"last")
    pub.close()
    assert sub._receive_many(10, eof=True) == [b"last"]
    assert sub._receive_many(10, eof=True) is None
    assert sub._receive_many(10) == []
    sub.close()
