"""Lock waits: they let the process's other threads run, time out, recover from
a dead holder, and never run Python code while the lock is held."""
import multiprocessing
import os
import signal
import threading
import time

import pytest

import velmora
from conftest import Heartbeat, attached_peer
from test_view import RawSegment

SM = velmora.SharedMemory
CTX = multiprocessing.get_context("fork")

CALLS = {
    "write": (True, lambda v: v.write(b"\x55", 0)),
    "write_cursor": (True, lambda v: v.write(7)),
    "write_mixed": (True, lambda v: v.write_mixed([1, 2])),
    "zero": (True, lambda v: v.zero()),
    "read_all": (False, lambda v: v.read_all()),
    "read_range": (False, lambda v: v.read_range(0, 8)),
    "read": (False, lambda v: v.read("str")),
    "read_mixed": (False, lambda v: v.read_mixed([("u8", 2)])),
}


@pytest.fixture
def held(seg_name):
    """A view over 64 data bytes and a raw mapping to forge its lock word, with
    another process attached so that a forged word is waited for."""
    view = SM.create(seg_name, 68).map()
    raw = RawSegment(seg_name)
    raw.fill(bytes(range(64)))
    with attached_peer(seg_name):
        yield view, raw
    raw.close()


@pytest.mark.parametrize("method", sorted(CALLS))
@pytest.mark.parametrize("word, shown", [(-1, "write-locked"), (2, "2 readers"), (-7, "invalid")])
def test_lock_timeout_raises_and_changes_nothing(held, seg_name, method, word, shown):
    view, raw = held
    exclusive, call = CALLS[method]
    if not exclusive and word > 0:
        pytest.skip("readers share the lock with readers")
    view.lock_timeout = 0.05
    raw.word = word
    t0 = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        call(view)
    assert 0.05 <= time.monotonic() - t0 < 2
    assert str(info.value) == (f"timed out after 0.05 s waiting for the lock of '{seg_name}' "
                               f"(lock word {word}: {shown})")
    assert (raw.word, raw.data(), view.tell()) == (word, bytes(range(64)), 0)


def test_lock_timeout_attribute(seg_name):
    view = SM.create(seg_name, 64).map()
    assert view.lock_timeout is None
    for value, expected in [(2, 2.0), (0.25, 0.25), (0, 0.0), (None, None)]:
        view.lock_timeout = value
        assert view.lock_timeout == expected
    for bad, exc in [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError)]:
        with pytest.raises(exc):
            view.lock_timeout = bad
    assert view.lock_timeout is None
    view.lock_timeout = 0  # no wait at all, but a free lock is still taken
    view.write(b"x", 0)
    assert view.read_range(0, 1) == b"x"


def test_other_threads_keep_running_while_a_call_waits(held):
    view, raw = held
    raw.word = -1
    view.lock_timeout = 1.0
    with Heartbeat() as heart:
        t0 = time.monotonic()
        with pytest.raises(TimeoutError):
            view.write(b"x", 0)
        t1 = time.monotonic()
    gaps = heart.gaps(t0, t1)
    assert len(gaps) > 20 and max(gaps) < 0.25, f"{len(gaps)} gaps, longest {max(gaps):.3f} s"


def test_a_waiting_call_gets_in_once_the_holder_releases(held):
    view, raw = held
    raw.word = 1
    threading.Timer(0.05, lambda: setattr(raw, "word", 0)).start()
    view.write(b"\xaa", 0)  # exclusive: waits for the reader to go
    assert raw.data()[0] == 0xAA and raw.word == 0


def _locked_writes(name, conn):
    view = SM.open(name).map()
    blob = b"\x11" * (len(view.read_all()))
    conn.send("running")
    while True:
        view.write(blob, 0)


def test_reset_lock_recovers_from_a_writer_killed_while_holding_it(seg_name):
    view = SM.create(seg_name, 32 << 20).map()
    raw = RawSegment(seg_name)
    view.lock_timeout = 0.2
    stuck = 0
    # A live reader stays attached: the dead writer's hold is not recovered
    # by itself, reset_lock() is what frees it.
    with attached_peer(seg_name):
        for _ in range(20):  # kill at random moments until one lands inside a hold
            ours, theirs = CTX.Pipe()
            proc = CTX.Process(target=_locked_writes, args=(seg_name, theirs), daemon=True)
            proc.start()
            assert ours.poll(30) and ours.recv() == "running"
            time.sleep(0.01 + (os.getpid() + _) % 7 * 0.003)
            os.kill(proc.pid, signal.SIGKILL)
            proc.join()
            if raw.word == -1:
                stuck += 1
                with pytest.raises(TimeoutError, check=lambda e: e.reason == "timeout"):
                    view.write(b"x", 0)
                view.reset_lock()
            view.write(b"ok", 0)  # the lock works again
            assert view.read_range(0, 2) == b"ok" and raw.word == 0
            if stuck:
                break
    raw.close()
    assert stuck, "no kill landed inside a hold in 20 tries"


def test_schema_counts_are_converted_before_the_lock_is_taken(seg_name):
    view = SM.create(seg_name, 68).map()
    view.lock_timeout = 2  # a regression times out instead of hanging the run

    class WritesTheView:
        def __index__(self):
            view.write(b"\x07\x08", 0)  # needs the exclusive lock
            return 2

    assert view.read_mixed([("u8", WritesTheView())], 0) == [[7, 8]]


@pytest.mark.parametrize("schema, error", [
    ([("u8", 1), ("nope", 1)], "unknown type tag 'nope'"),
    ([("u64", 100), ("nope", 1)], "out of bounds: cursor=64 + needed=8 > data_len=64"),
    ([("str", 1), ("u8", 1)], "out of bounds"),
    ([("u8", 1), [1]], "schema entries must be (type_tag, count) tuples"),
])
def test_the_first_bad_entry_is_the_error_reported(seg_name, schema, error):
    view = SM.create(seg_name, 68).map()
    view.write(b"\xff" * 64, 0)
    with pytest.raises(ValueError) as info:
        view.read_mixed(schema, 0)
    assert error in str(info.value)
    assert view.reader_count() == 0


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_large_decoded_pop_gives_its_staging_memory_back(seg_name):
    size = 64 << 20
    ring = SM.create(seg_name, velmora.SpscRingBuffer.segment_size(2 * size)).spsc()
    assert ring.push(b"\x01" * (size - 4)) and ring.push(b"\x02" * (size - 4))
    assert ring.pop("u8") == 1
    before = _rss_bytes()
    assert ring.pop("u8") == 2
    assert _rss_bytes() - before < size // 4
