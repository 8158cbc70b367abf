"""Fan-in across processes: four producers into one consumer, producers
SIGKILLed at random moments, the ninth producer of eight slots, the consumer
role, and the end of the stream. Every message carries (producer, sequence)
and a body derived from them, so a lost, reordered or torn message shows."""
import multiprocessing as mp
import os
import random
import signal
import struct
import time
import zlib

import pytest

import velmora
from conftest import reap, start_all, wait_for

MPSC = velmora.MpscRingBuffer
CTX = mp.get_context("fork")
DEADLINE_S = 120


def message(producer, seq):
    body = bytes((producer * 31 + seq + i) & 0xFF for i in range(seq % 53))
    head = struct.pack("<II", producer, seq)
    return head + body + struct.pack("<I", zlib.crc32(head + body))


def parse(msg):
    """(producer, seq), after checking the message is whole."""
    assert zlib.crc32(msg[:-4]) == struct.unpack_from("<I", msg, len(msg) - 4)[0], msg
    producer, seq = struct.unpack_from("<II", msg)
    assert msg == message(producer, seq)
    return producer, seq


def _produce(name, producer, count, attached=None):
    ring = MPSC.open(name)
    for seq in range(count):
        ring.put(message(producer, seq), timeout=DEADLINE_S)
        if seq == 0 and attached is not None:
            attached.set()
    ring.close()


def _drain(ring, sequences, until_eof=True):
    while True:
        try:
            msg = ring.get(timeout=DEADLINE_S, eof=until_eof)
        except EOFError:
            return
        producer, seq = parse(msg)
        sequences.setdefault(producer, []).append(seq)


def test_four_producers_ten_thousand_each(seg_name):
    consumer = MPSC.create(seg_name, 1024, producers=8)
    procs = start_all([CTX.Process(target=_produce, args=(seg_name, p, 10_000)) for p in range(4)])
    got = {}
    try:
        _drain(consumer, got)
    finally:
        codes = reap(procs, DEADLINE_S)
    assert sorted(got) == [0, 1, 2, 3]
    for producer, seqs in got.items():
        assert seqs == list(range(10_000)), f"producer {producer}"
    assert codes == [0, 0, 0, 0]
    consumer.close()


def _produce_forever(name, producer, started):
    ring = MPSC.open(name)
    seq = 0
    ring.put(message(producer, seq))
    started.set()
    while True:
        seq += 1
        ring.put(message(producer, seq), timeout=DEADLINE_S)


def test_sigkilled_producers_leave_prefixes_and_spare_the_others(seg_name):
    """Rounds of: two steady producers and one victim killed at a random
    moment; the steady ones deliver everything, the victim a prefix, and its
    slot goes to the next round's producers."""
    rng = random.Random(os.getpid())
    consumer = MPSC.create(seg_name, 512, producers=3)
    for round_no in range(8):
        steady_ids = (10 * round_no, 10 * round_no + 1)
        victim_id = 10 * round_no + 2
        started = [CTX.Event() for _ in range(3)]
        victim = CTX.Process(target=_produce_forever, args=(seg_name, victim_id, started[0]))
        steady = [CTX.Process(target=_produce, args=(seg_name, i, 3_000, ev)) for i, ev in zip(steady_ids, started[1:])]
        victim.start()
        for p in steady:
            p.start()
        # every producer attached before anyone can die: eof then means all have gone
        assert all(ev.wait(DEADLINE_S) for ev in started)
        got = {}
        kill_after = rng.uniform(0, 0.05)
        killed = False
        deadline = time.monotonic() + kill_after
        while True:
            if not killed and time.monotonic() >= deadline:
                os.kill(victim.pid, signal.SIGKILL)
                victim.join()
                killed = True
            try:
                msg = consumer.get(timeout=0.001 if not killed else DEADLINE_S, eof=killed)
            except EOFError:
                break
            except Exception as exc:  # queue.Empty while the victim still runs
                if type(exc).__name__ != "Empty":
                    raise
                continue
            producer, seq = parse(msg)
            got.setdefault(producer, []).append(seq)
        reap(steady, DEADLINE_S)
        for i in steady_ids:
            assert got.get(i) == list(range(3_000)), f"round {round_no}, producer {i}"
        victim_seqs = got.get(victim_id, [])
        assert victim_seqs == list(range(len(victim_seqs))) and victim_seqs, f"round {round_no}"
        assert consumer.is_empty() and not consumer.has_producer()
    consumer.close()


def _hold_a_slot(name, ready, release):
    ring = MPSC.open(name)
    ring.push(b"here")
    ready.set()
    release.wait(DEADLINE_S)


def test_ninth_producer_waits_for_a_free_slot(seg_name):
    consumer = MPSC.create(seg_name, 64, producers=8)
    holders = []
    try:
        for _ in range(8):
            ready, release = CTX.Event(), CTX.Event()
            p = CTX.Process(target=_hold_a_slot, args=(seg_name, ready, release))
            p.start()
            assert ready.wait(DEADLINE_S)
            holders.append((p, release))
        assert sorted(consumer.producers()) == sorted(p.pid for p, _ in holders)
        ninth = MPSC.open(seg_name)
        with pytest.raises(BlockingIOError, check=lambda e: e.reason == "busy"):
            ninth.push(b"ninth")
        p, release = holders.pop(3)
        release.set()
        p.join(DEADLINE_S)
        assert ninth.push(b"ninth")
        got = [consumer.pop() for _ in range(9)]
        assert got.count(b"here") == 8 and b"ninth" in got
        ninth.close()
    finally:
        for p, release in holders:
            release.set()
        reap([p for p, _ in holders], DEADLINE_S)
    consumer.close()


def _consume_one(name, ready, result):
    ring = MPSC.open(name)
    ready.set()
    try:
        result.put(ring.get(timeout=DEADLINE_S))
        result.put(ring.has_consumer())
        time.sleep(DEADLINE_S)
    except Exception as exc:
        result.put(repr(exc))


def test_one_consumer_process_at_a_time(seg_name):
    producer = MPSC.create(seg_name, 64, producers=2)
    ready, result = CTX.Event(), CTX.Queue()
    p = CTX.Process(target=_consume_one, args=(seg_name, ready, result))
    p.start()
    try:
        assert ready.wait(DEADLINE_S)
        producer.push(b"for the child")
        assert result.get(timeout=DEADLINE_S) == b"for the child"
        assert result.get(timeout=DEADLINE_S) is True
        assert producer.has_consumer()
        with pytest.raises(BlockingIOError, check=lambda e: e.reason == "busy"):
            producer.pop()
    finally:
        p.kill()
        p.join()
    wait_for(lambda: not producer.has_consumer(), 5)
    assert producer.pop() is None          # the dead consumer's role passed on
    producer.close()


def test_eof_after_all_producers_exit(seg_name):
    consumer = MPSC.create(seg_name, 1 << 15, producers=4)   # room for all 200 of each
    reap(start_all([CTX.Process(target=_produce, args=(seg_name, p, 200)) for p in range(3)]), DEADLINE_S)
    got = {}
    started = time.monotonic()
    _drain(consumer, got)       # everything, then EOFError
    assert time.monotonic() - started < 30
    assert {p: len(s) for p, s in got.items()} == {0: 200, 1: 200, 2: 200}
    consumer.close()


def _wake_after(name, delay, ready):
    ring = MPSC.open(name)
    ready.set()
    time.sleep(delay)
    ring.push(struct.pack("<d", time.monotonic()))
    time.sleep(0.5)


def test_a_sleeping_get_wakes_on_a_push(seg_name):
    """The consumer sleeps on the doorbell; a producer's push wakes it well
    before the bounded sleep would end anyway. Bound generous for a loaded
    machine; the figures themselves are measured by the benchmark."""
    consumer = MPSC.create(seg_name, 256, producers=4)
    lags = []
    for _ in range(5):
        ready = CTX.Event()
        p = CTX.Process(target=_wake_after, args=(seg_name, 0.2, ready))
        p.start()
        assert ready.wait(DEADLINE_S)
        sent = struct.unpack("<d", consumer.get(timeout=DEADLINE_S))[0]
        lags.append(time.monotonic() - sent)
        p.join()
    assert sorted(lags)[2] < 0.05, lags
    consumer.close()


def _push_and_die(name, count):
    ring = MPSC.open(name)
    for seq in range(count):
        assert ring.push(message(0, seq))
    os.kill(os.getpid(), signal.SIGKILL)


def test_a_dead_producers_slot_passes_on_at_once_behind_its_messages(seg_name):
    # The slot is free as soon as its producer is gone; what it published is
    # still delivered, before anything its next holder sends, and the next
    # holder's free() counts those unread bytes.
    consumer = MPSC.create(seg_name, 1024, producers=1)
    p = CTX.Process(target=_push_and_die, args=(seg_name, 3))
    p.start()
    p.join(DEADLINE_S)
    assert p.exitcode == -signal.SIGKILL
    unread = sum(4 + len(message(0, seq)) for seq in range(3))
    heir = MPSC.open(seg_name)
    assert heir.push(message(1, 0))  # takes the only slot: no BlockingIOError
    assert heir.free() == 1024 - unread - 4 - len(message(1, 0))
    got = [parse(consumer.pop()) for _ in range(4)]
    assert got == [(0, 0), (0, 1), (0, 2), (1, 0)]
    assert consumer.pop() is None
    heir.close()
    consumer.close()
