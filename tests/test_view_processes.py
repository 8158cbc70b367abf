"""MappedView across processes: readers never see half a write, and a call
stuck behind a lock word that nobody will release can be interrupted."""
import multiprocessing
import os
import signal
import time

import pytest

import velmora
from conftest import attached_peer, reap, start_all
from test_view import RawSegment

SM = velmora.SharedMemory
CTX = multiprocessing.get_context("spawn")
AREA = 1 << 16
RUN_SECONDS = 2.0
STARTUP_TIMEOUT = 60


def _pattern_writer(name, go, results):
    view = SM.open(name).map()
    patterns = [bytes([v]) * view.size() for v in range(1, 256)]
    go.wait()
    stop, writes = time.monotonic() + RUN_SECONDS, 0
    while time.monotonic() < stop:
        view.write(patterns[writes % len(patterns)], 0)
        writes += 1
    results.put(("writer", writes))


def _pattern_reader(name, go, results):
    view = SM.open(name).map()
    go.wait()
    stop, reads, torn, seen = time.monotonic() + RUN_SECONDS, 0, 0, set()
    while time.monotonic() < stop:
        data = view.read_all()
        if data.count(data[0]) != len(data):
            torn += 1
        seen.add(data[0])
        reads += 1
    results.put(("reader", reads, torn, len(seen)))


def _start(target, *args):
    return start_all([CTX.Process(target=target, args=args, daemon=True)])[0]


def test_readers_never_see_a_mixed_pattern(seg_name):
    shm = SM.create(seg_name, AREA + 4)
    shm.map().write(b"\x01" * AREA, 0)  # a creator's map leaves the word at 0
    go, results = CTX.Event(), CTX.Queue()
    procs = [_start(_pattern_writer, seg_name, go, results)]
    procs += [_start(_pattern_reader, seg_name, go, results) for _ in range(2)]
    try:
        go.set()
        reports = [results.get(timeout=STARTUP_TIMEOUT) for _ in procs]
    finally:
        reap(procs, 10)
    readers = [r for r in reports if r[0] == "reader"]
    writes = [r[1] for r in reports if r[0] == "writer"][0]
    assert writes > 10 and len(readers) == 2
    for _, reads, torn, distinct in readers:
        assert torn == 0, f"{torn} of {reads} reads saw two patterns at once"
        assert reads > 10 and distinct > 1  # the reads really overlapped the writes
    assert all(p.exitcode == 0 for p in procs)
    view = shm.map()
    assert view.reader_count() == 0 and not view.is_write_locked()


def _blocked_call(name, method, conn):
    view = SM.open(name).map()
    calls = {
        "write": lambda: view.write(b"\x55", 0),
        "write_mixed": lambda: view.write_mixed([1, 2]),
        "zero": view.zero,
        "read_all": view.read_all,
        "read": lambda: view.read("u8"),
    }
    # A pipe, not a queue: a queue hands its data to a feeder thread, which
    # cannot run while this process spins holding the interpreter lock.
    conn.send("ready")
    started = time.monotonic()
    try:
        calls[method]()
        conn.send(("returned", time.monotonic() - started, view.tell()))
    except KeyboardInterrupt:
        conn.send(("interrupted", time.monotonic() - started, view.tell()))


@pytest.mark.parametrize("method, word", [
    ("write", -1), ("write", 3), ("write_mixed", 1), ("zero", -2), ("read_all", -1), ("read", -1),
])
def test_sigint_interrupts_a_waiting_call(seg_name, method, word):
    shm = SM.create(seg_name, 68)
    shm.map()
    raw = RawSegment(seg_name)
    pattern = bytes(range(64))
    raw.fill(pattern)
    raw.word = word  # a holder that will never release, in a live process
    with attached_peer(seg_name):
        ours, theirs = CTX.Pipe()
        proc = _start(_blocked_call, seg_name, method, theirs)
        try:
            assert ours.poll(STARTUP_TIMEOUT) and ours.recv() == "ready"
            time.sleep(0.3)  # let it settle into the spin
            sent = time.monotonic()
            os.kill(proc.pid, signal.SIGINT)
            if not ours.poll(5):
                pytest.fail(f"{method} was not interrupted")
            latency = time.monotonic() - sent
            outcome, waited, cursor = ours.recv()
        finally:
            reap([proc], 10)
    assert (raw.word, raw.data()) == (word, pattern)
    raw.close()
    assert outcome == "interrupted"
    assert waited >= 0.2 and latency < 1.0  # it really waited; Ctrl-C got it out promptly
    assert cursor == 0
    assert proc.exitcode == 0
