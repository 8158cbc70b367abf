"""A producer and a consumer in two processes stream through one ring; every
message carries content derived from its sequence number, so a lost,
duplicated, reordered or torn message shows up at the consumer."""
import multiprocessing as mp
import time

import pytest

import velmora
from conftest import reap, start_all

SM = velmora.SharedMemory
CAPACITY = 4096
# Mostly small messages, with every 16th one large and the largest that fits
# (capacity - 4) among them, so frames wrap at all sorts of offsets.
SIZES = tuple(
    (CAPACITY - 4 if i == 0 else (i * 1237) % (CAPACITY - 4)) if i % 16 == 0 else (i * 7) % 61
    for i in range(97)
)
BLOCK = bytes(range(256)) * (CAPACITY // 256 + 2)
DEADLINE_S = 120


def payload(seq):
    n = SIZES[seq % len(SIZES)]
    start = seq % 251
    return (seq.to_bytes(4, "little") + BLOCK[start:start + n])[:n]


def _wait(spins):
    """Busy-wait politely: spin a little, then give the core away briefly."""
    if spins % 64 == 0:
        time.sleep(0.00005)


def _produce(name, count):
    ring = SM.open(name).spsc()
    push, seq, spins = ring.push, 0, 0
    deadline = time.monotonic() + DEADLINE_S
    while seq < count and time.monotonic() < deadline:
        if push(payload(seq)):
            seq += 1
        else:
            spins += 1
            _wait(spins)


def _consume(name, count, conn):
    ring = SM.open(name).spsc()
    pop, seq, spins, bad = ring.pop, 0, 0, []
    deadline = time.monotonic() + DEADLINE_S
    while seq < count and time.monotonic() < deadline:
        msg = pop()
        if msg is None:
            spins += 1
            _wait(spins)
            continue
        if msg != payload(seq) and len(bad) < 10:
            bad.append(seq)
        seq += 1
    conn.send((seq, bad, ring.pop(), ring.used()))


def _typed_produce(name, count):
    ring = SM.open(name).spsc()
    for seq in range(count):
        msg = (f"text {seq} \u00e9", seq * 3 - 7, [seq, seq / 4, "m" * (seq % 9), bool(seq & 1)])[seq % 3]
        while not ring.push(msg):
            time.sleep(0.00005)


def _typed_consume(name, count, conn):
    ring = SM.open(name).spsc()
    schema = [("i64", 1), ("f64", 1), ("str", 1), ("bool", 1)]
    got = []
    deadline = time.monotonic() + DEADLINE_S
    while len(got) < count and time.monotonic() < deadline:
        kind = len(got) % 3
        value = ring.pop("str") if kind == 0 else ring.pop("int") if kind == 1 else ring.pop_mixed(schema)
        if value is None:
            time.sleep(0.00005)
        else:
            got.append(value)
    conn.send(got)


def _run(name, producer, consumer, count):
    SM.create(name, velmora.SpscRingBuffer.segment_size(CAPACITY)).spsc()   # the creator initialises the header
    ctx = mp.get_context("fork")
    recv, send = ctx.Pipe(duplex=False)
    procs = start_all([ctx.Process(target=producer, args=(name, count)),
                       ctx.Process(target=consumer, args=(name, count, send))])
    try:
        if not recv.poll(DEADLINE_S + 30):
            pytest.fail("the consumer reported nothing")
        return recv.recv()
    finally:
        reap(procs, 5)


def test_a_million_messages_cross_intact(seg_name):
    count = 1_000_000
    started = time.monotonic()
    received, bad, leftover, used = _run(seg_name, _produce, _consume, count)
    elapsed = time.monotonic() - started
    assert received == count, f"only {received} messages arrived in {elapsed:.1f} s"
    assert bad == []
    assert leftover is None and used == 0


def test_typed_and_mixed_messages_cross_intact(seg_name):
    count = 30_000
    got = _run(seg_name, _typed_produce, _typed_consume, count)
    expected = [(f"text {s} \u00e9", s * 3 - 7, [s, s / 4, "m" * (s % 9), bool(s & 1)])[s % 3] for s in range(count)]
    assert got == expected
