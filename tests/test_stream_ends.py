"""How streams end and how producers learn their consumer is gone, across
processes: a fan-in pool whose workers start in any order and at any delay,
an SPSC consumer that takes over after its producer left, and a producer
whose consumer exited under a full ring."""
import asyncio
import multiprocessing as mp
import struct
import threading
import time

import pytest

import velmora
import velmora.aio
from conftest import reap, until_eof

MPSC = velmora.MpscRingBuffer
SM = velmora.SharedMemory
DEADLINE_S = 60


# ---- fan-in: a pool whose workers start at different moments --------------------


def _worker(name, wid, count):
    ring = MPSC.open(name)
    for seq in range(count):
        ring.put(struct.pack("<II", wid, seq), timeout=DEADLINE_S)
    ring.close()


def _worker_ends_and_stays(name, wid, count, release):
    ring = MPSC.open(name)
    for seq in range(count):
        ring.put(struct.pack("<II", wid, seq), timeout=DEADLINE_S)
    ring.end()  # the stream ends here, though the process and its handle live on
    release.wait(DEADLINE_S)
    ring.close()


def _launch_staggered(ctx, name, count, procs, release, failures):
    """Worker 0 runs and exits before 1 and 2 start together; 3 starts once
    they have exited; 4 then sends, calls end() and stays alive until the
    consumer has seen the end. Each registers at a different moment."""
    try:
        def run(*wids):
            batch = [ctx.Process(target=_worker, args=(name, w, count)) for w in wids]
            procs.extend(batch)
            for p in batch:
                p.start()
            for p in batch:
                p.join(DEADLINE_S)

        run(0)
        run(1, 2)
        run(3)
        last = ctx.Process(target=_worker_ends_and_stays, args=(name, 4, count, release))
        procs.append(last)
        last.start()
    except BaseException as exc:  # reported by the test's thread
        failures.append(exc)


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_fanin_pool_of_staggered_workers_delivers_everything_then_ends(seg_name, method):
    ctx = mp.get_context(method)
    workers, count = 5, 10
    consumer = MPSC.create(seg_name, 256, producers=2, expect=workers)
    assert consumer.expected == workers
    procs, failures, release = [], [], ctx.Event()
    launcher = threading.Thread(target=_launch_staggered, args=(ctx, seg_name, count, procs, release, failures))
    launcher.start()
    got = {}
    try:
        for msg in until_eof(consumer.get, DEADLINE_S):
            wid, seq = struct.unpack("<II", msg)
            got.setdefault(wid, []).append(seq)
    finally:
        release.set()
        launcher.join(DEADLINE_S)
        codes = reap(procs, DEADLINE_S)
    assert not failures
    assert got == {w: list(range(count)) for w in range(workers)}
    assert codes == [0] * workers
    # a second consumer handle (another process would do the same) ends at once
    consumer.close()
    with MPSC.open(seg_name) as again:
        with pytest.raises(EOFError):
            again.get(timeout=5, eof=True)


# ---- SPSC: a consumer that comes after the producer left --------------------------


def _produce_and_leave(name, count):
    ring = SM.open(name).spsc()
    for seq in range(count):
        ring.put(seq.to_bytes(4, "little"), timeout=DEADLINE_S)


def _drain_to_eof(name, conn):
    ring = SM.open(name).spsc()
    got = []
    try:
        while True:
            got.append(int.from_bytes(ring.get(timeout=10, eof=True), "little"))
    except EOFError:
        conn.send(("eof", got))
    except Exception as exc:
        conn.send((type(exc).__name__, got))


@pytest.mark.parametrize("taker", ["handle", "process"])
def test_spsc_consumer_taking_over_after_the_producer_left_gets_the_rest_then_eof(seg_name, taker):
    ctx = mp.get_context("fork")
    creator = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(256)).spsc()
    producer = ctx.Process(target=_produce_and_leave, args=(seg_name, 5))
    producer.start()
    producer.join(DEADLINE_S)
    assert producer.exitcode == 0 and not creator.has_producer()
    first = SM.open(seg_name).spsc()
    assert first.get(timeout=5) == (0).to_bytes(4, "little")  # an earlier consumer took one, then went
    first.close()
    creator.close()
    if taker == "handle":
        ring = SM.open(seg_name).spsc()
        got = [int.from_bytes(ring.get(timeout=5, eof=True), "little") for _ in range(4)]
        with pytest.raises(EOFError):
            ring.get(timeout=5, eof=True)
        ring.close()
        assert got == [1, 2, 3, 4]
    else:
        ours, theirs = ctx.Pipe()
        consumer = ctx.Process(target=_drain_to_eof, args=(seg_name, theirs))
        consumer.start()
        assert ours.poll(DEADLINE_S)
        assert ours.recv() == ("eof", [1, 2, 3, 4])
        assert reap([consumer]) == [0]


# ---- producers whose consumer is gone -----------------------------------------------


def _open(kind, name):
    return SM.open(name).spsc() if kind == "spsc" else MPSC.open(name)


def _consume_one_and_exit(kind, name):
    ring = _open(kind, name)
    ring.get(timeout=DEADLINE_S)


def _consume_later(kind, name, attached, go, conn):
    ring = _open(kind, name)
    ring.pop()  # takes the consumer role (and makes room for one message)
    attached.set()
    go.wait(DEADLINE_S)
    got = 0
    try:
        while True:
            ring.get(timeout=DEADLINE_S, eof=True)
            got += 1
    except EOFError:
        conn.send(got)


def _fill(ring):
    n = 0
    while ring.push(b"x" * 20):
        n += 1
    return n


async def _aio_put(ring):
    await velmora.aio.wrap(ring).put(b"x" * 20, timeout=DEADLINE_S)


@pytest.mark.parametrize("kind", ["spsc", "mpsc"])
def test_put_into_a_full_ring_whose_consumer_exited_raises_broken_pipe(seg_name, kind):
    ctx = mp.get_context("fork")
    if kind == "spsc":
        ring = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(256)).spsc()
    else:
        ring = MPSC.create(seg_name, 256, producers=2)
    ring.put(b"first")
    gone = ctx.Process(target=_consume_one_and_exit, args=(kind, seg_name))
    gone.start()
    gone.join(DEADLINE_S)
    assert gone.exitcode == 0 and not ring.has_consumer()
    sent = 1 + _fill(ring)
    t0 = time.monotonic()
    with pytest.raises(BrokenPipeError):
        ring.put(b"x" * 20, timeout=DEADLINE_S)
    assert time.monotonic() - t0 < 2  # about 10 ms; generous for a shared machine
    assert ring.push(b"x" * 20) is False  # the non-blocking call keeps its answer
    with pytest.raises(BrokenPipeError):
        asyncio.run(_aio_put(ring))
    # a consumer that attaches again makes the ring usable: put waits, then goes in
    attached, go = ctx.Event(), ctx.Event()
    ours, theirs = ctx.Pipe()
    later = ctx.Process(target=_consume_later, args=(kind, seg_name, attached, go, theirs))
    later.start()
    assert attached.wait(DEADLINE_S)
    sent += _fill(ring)
    with pytest.raises(Exception) as waited:  # the consumer is alive: no broken pipe, just no room
        ring.put(b"x" * 20, timeout=0.2)
    assert type(waited.value).__name__ == "Full"
    go.set()
    ring.put(b"x" * 20, timeout=DEADLINE_S)
    asyncio.run(_aio_put(ring))
    ring.close()
    assert ours.poll(DEADLINE_S)
    assert ours.recv() == sent  # all but "first" and the one pop() took, and the last two puts
    assert reap([later]) == [0]


def test_a_consumer_seen_attached_that_exits_breaks_the_pipe_without_consuming(seg_name):
    """Nothing was ever consumed: the producer knows of the consumer only
    because it saw it attached (the same look a waiting put makes)."""
    ctx = mp.get_context("fork")
    ring = MPSC.create(seg_name, 64, producers=1)
    _fill(ring)
    attached, go = ctx.Event(), ctx.Event()
    holder = ctx.Process(target=_hold_consumer_role, args=(seg_name, attached, go))
    holder.start()
    assert attached.wait(DEADLINE_S)
    assert ring._check_consumer() is None
    go.set()
    assert reap([holder]) == [0]
    with pytest.raises(BrokenPipeError):
        ring.put(b"x" * 20, timeout=DEADLINE_S)
    ring.close()


def _hold_consumer_role(name, attached, go):
    ring = MPSC.open(name)
    assert ring.pop_many(0) == []  # the consumer role, nothing consumed
    attached.set()
    go.wait(DEADLINE_S)
