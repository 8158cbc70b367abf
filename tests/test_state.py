"""The view as shared state: lock scopes (`with view.write_locked()` /
`read_locked()`) and the lock-free i64 words (add, compare_exchange, load,
store), within one process, across threads, over fork() and across processes."""
import multiprocessing
import os
import threading
import time

import pytest

import velmora
from conftest import Heartbeat, attached_peer, reap, start_all
from test_view import RawSegment, deadline

SM = velmora.SharedMemory
SPAWN = multiprocessing.get_context("spawn")
STARTUP_TIMEOUT = 120


@pytest.fixture
def area(seg_name):
    """A view over 64 data bytes and a raw mapping of the same segment."""
    view = SM.create(seg_name, 68).map()
    raw = RawSegment(seg_name)
    yield view, raw
    raw.close()


@pytest.fixture
def forged(area, seg_name):
    """`area` with another process attached, so that a word forged in the
    lock is a live holder's, waited for rather than recovered."""
    with attached_peer(seg_name):
        yield area


# Every locking call of the view, each made so that it succeeds on 64 data bytes.
READS = {
    "read_all": lambda v: v.read_all(),
    "read_range": lambda v: v.read_range(8, 8),
    "read": lambda v: (v.seek(4), v.read("i64")),
    "read_mixed": lambda v: v.read_mixed([("u8", 4)], 0),
}
WRITES = {
    "write": lambda v: v.write(b"\x07" * 8, 8),
    "write_cursor": lambda v: (v.seek(0), v.write(5)),
    "write_mixed": lambda v: v.write_mixed([1, 2.5], 16),
    "zero": lambda v: v.zero(),
}


# ---- lock scopes ------------------------------------------------------------------

@pytest.mark.parametrize("call", sorted(READS) + sorted(WRITES))
def test_calls_inside_a_write_block_run_under_its_hold(area, call):
    view, raw = area
    view.lock_timeout = 0.2  # a call that took the lock again would time out
    with view.write_locked() as held:
        assert held is view and view.held_scope == "write" and raw.word == -1
        {**READS, **WRITES}[call](view)
        assert raw.word == -1
    assert raw.word == 0 and view.held_scope is None


def test_writes_land_and_reads_see_them_inside_a_block(area):
    view, raw = area
    with view.write_locked():
        view.write(41, 4)
        view.seek(4)
        n = view.read("i64")
        view.write(n + 1, 4)
        assert view.tell() == 12
    assert view.load(4) == 42 and raw.data()[4:12] == (42).to_bytes(8, "little")


@pytest.mark.parametrize("call", sorted(READS))
def test_reads_inside_a_read_block_share_its_one_hold(area, call):
    view, raw = area
    view.lock_timeout = 0.2
    with view.read_locked():
        assert raw.word == 1 and view.held_scope == "read"
        READS[call](view)
        assert raw.word == 1
    assert raw.word == 0


@pytest.mark.parametrize("call", sorted(WRITES))
def test_a_write_inside_a_read_block_raises_and_changes_nothing(area, call):
    view, raw = area
    raw.fill(bytes(range(64)))
    with view.read_locked():
        with pytest.raises(RuntimeError, match="inside its read_locked"):
            WRITES[call](view)
        assert raw.word == 1
    assert raw.data() == bytes(range(64)) and raw.word == 0


@pytest.mark.parametrize("outer", ["write_locked", "read_locked"])
@pytest.mark.parametrize("inner", ["write_locked", "read_locked"])
def test_the_same_thread_entering_again_raises(area, outer, inner):
    view, raw = area
    with getattr(view, outer)():
        word = raw.word
        with pytest.raises(RuntimeError, match="already holds a lock scope"):
            with getattr(view, inner)():
                pass
        assert raw.word == word and view.held_scope == outer.split("_")[0]
    assert raw.word == 0 and view.held_scope is None


@pytest.mark.parametrize("scope", ["write_locked", "read_locked"])
def test_an_exception_in_the_block_releases_the_lock(area, scope):
    view, raw = area

    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with getattr(view, scope)():
            raise Boom
    assert raw.word == 0 and view.held_scope is None
    with view.write_locked():  # and the view takes blocks again
        assert raw.word == -1


@pytest.mark.parametrize(("scope", "word"), [("write_locked", 1), ("write_locked", -1), ("read_locked", -1)])
def test_entering_honours_lock_timeout(forged, seg_name, scope, word):
    view, raw = forged
    raw.word = word
    view.lock_timeout = 0.05
    t0 = time.monotonic()
    with pytest.raises(TimeoutError, check=lambda e: e.reason == "timeout"):
        with getattr(view, scope)():
            pytest.fail("entered a held lock")
    assert 0.05 <= time.monotonic() - t0 < 5
    assert raw.word == word and view.held_scope is None
    raw.word = 0
    with getattr(view, scope)():  # the failed entry left the slot free
        pass


def test_another_view_of_the_segment_times_out_inside_a_block(area, seg_name):
    # The hold belongs to one view: a second view (even in the same thread)
    # takes the lock word itself and so waits like any other holder's peer.
    view, raw = area
    other = SM.open(seg_name).map()
    other.lock_timeout = 0.05
    with view.write_locked():
        with pytest.raises(TimeoutError):
            other.read_all()
    assert other.read_all() == raw.data()


def test_entering_lets_other_threads_run_and_is_interruptible(forged):
    view, raw = forged
    raw.word = -1
    with Heartbeat() as heart:
        t0 = time.monotonic()
        with pytest.raises(Exception, match="still waiting"):
            with deadline(0.5):
                with view.write_locked():
                    pytest.fail("entered a held lock")
        t1 = time.monotonic()
    gaps = heart.gaps(t0, t1)
    assert t1 - t0 < 5 and len(gaps) > 5 and max(gaps) < 0.25, f"{len(gaps)} gaps, longest {max(gaps):.3f} s"
    assert view.held_scope is None and raw.word == -1


@pytest.mark.parametrize("scope", ["write_locked", "read_locked"])
def test_other_threads_wait_for_the_block(area, scope):
    view, raw = area
    exclusive = scope == "write_locked"
    results, started, done = [], threading.Event(), threading.Event()

    def other():
        started.set()
        try:
            if exclusive:
                assert view.held_scope is None  # the block is the other thread's
                results.append(view.read_range(0, 8))  # a plain call waits for the block
            else:
                with view.write_locked():  # and so does another thread's block
                    results.append(view.held_scope)
                    view.write(b"B" * 8, 0)
        finally:
            done.set()

    with getattr(view, scope)():
        if exclusive:
            view.write(b"A" * 8, 0)
        worker = threading.Thread(target=other)
        worker.start()
        assert started.wait(10)
        assert not done.wait(0.2), "another thread got in under the block's hold"
        if exclusive:
            view.write(b"C" * 8, 0)  # the other thread must see only the block's last write
    assert done.wait(30)
    worker.join()
    assert results == ([b"C" * 8] if exclusive else ["write"])
    assert raw.word == 0


def test_leaving_a_block_nobody_entered_raises(area):
    view, raw = area
    scope = view.write_locked()
    with pytest.raises(RuntimeError, match="holds no lock scope"):
        scope.__exit__(None, None, None)
    assert repr(scope) == "LockScope(write)" and repr(view.read_locked()) == "LockScope(read)"
    assert raw.word == 0


@pytest.mark.parametrize("scope", ["write_locked", "read_locked"])
def test_closing_inside_a_block_gives_the_lock_back(area, scope):
    view, raw = area
    with getattr(view, scope)():
        view.close()
        assert raw.word == 0
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            view.read_all()
    # Leaving did nothing and raised nothing; entering a closed view is refused.
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
        with view.write_locked():
            pass
    assert view.held_scope is None


def test_close_ends_a_wait_to_enter(forged):
    view, raw = forged
    raw.word = -1
    errors, waiting = [], threading.Event()

    def enter():
        waiting.set()
        try:
            with view.write_locked():
                errors.append(None)
        except ValueError as e:
            errors.append(str(e))

    worker = threading.Thread(target=enter)
    worker.start()
    assert waiting.wait(10)
    time.sleep(0.05)  # let it reach the wait; close() is correct either way
    view.close()
    worker.join(30)
    assert not worker.is_alive() and errors == ["MappedView is closed"]
    assert raw.word == -1  # never ours to change


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_forked_child_leaving_the_block_leaves_the_parents_hold(area):
    view, raw = area
    with view.write_locked():
        pid = os.fork()
        if pid == 0:  # the child: exit codes say what went wrong
            code = 0
            try:
                if view.held_scope is not None:
                    code = 1
                view.lock_timeout = 0.05
                try:
                    view.write(b"x", 0)  # the parent's block is not the child's
                    code = code or 2
                except TimeoutError:
                    pass
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert raw.word == -1 and view.held_scope == "write"

    # Forked inside the block, the child leaves it: the word stays the parent's.
    with view.write_locked():
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                view.__class__  # keep the view alive in the child
                view.write_locked().__exit__(None, None, None)
                code = 0 if raw.word == -1 else 3
            except BaseException:
                code = 4
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert raw.word == -1
    assert raw.word == 0


def _scoped_increments(name, count, go):
    view = SM.open(name).map()
    go.wait()
    for _ in range(count):
        with view.write_locked():
            view.seek(4)
            n = view.read("i64")
            view.write(n + 1, 4)


def _atomic_increments(name, count, go):
    view = SM.open(name).map()
    add = view.add
    go.wait()
    for _ in range(count):
        add(12, 1)


@pytest.mark.parametrize("worker", [_scoped_increments, _atomic_increments])
def test_two_processes_count_exactly(seg_name, worker):
    view = SM.create(seg_name, 4 + 64).map()
    go = SPAWN.Event()
    procs = start_all([SPAWN.Process(target=worker, args=(seg_name, 100_000, go)) for _ in range(2)], go)
    assert reap(procs, 600) == [0, 0]
    assert view.load(4) + view.load(12) == 200_000


# ---- lock-free words -----------------------------------------------------------------

WORD_CALLS = {
    "add": lambda v, off: v.add(off, 1),
    "compare_exchange": lambda v, off: v.compare_exchange(off, 0, 1),
    "load": lambda v, off: v.load(off),
    "store": lambda v, off: v.store(off, 1),
}


@pytest.mark.parametrize("call", sorted(WORD_CALLS))
@pytest.mark.parametrize(("offset", "message"), [
    (0, "misaligned: offset=0 is not an 8-byte word"),
    (3, "misaligned: offset=3"),
    (8, "misaligned: offset=8"),
    (13, "misaligned: offset=13"),
    (60, "out of bounds: offset=60 + length=8 > data_size=64"),
    (2**64 - 4, "out of bounds: offset=18446744073709551612 + length=8 > data_size=64"),
])
def test_words_refuse_misaligned_and_out_of_range_offsets(area, call, offset, message):
    view, raw = area
    raw.fill(bytes(range(64)))
    with pytest.raises(ValueError, match="^" + message.replace("+", r"\+")):
        WORD_CALLS[call](view, offset)
    assert raw.data() == bytes(range(64))


def test_word_operations(area):
    view, raw = area
    assert view.add(4, 5) == 5 and view.add(4, -7) == -2
    assert view.compare_exchange(4, 5, 9) is False and view.load(4) == -2
    assert view.compare_exchange(4, -2, 9) is True and view.load(4) == 9
    view.store(52, 2**63 - 1)
    assert view.add(52, 1) == -(2**63)  # wraps as the word does
    # The words are the codec's i64, at both ends of the data area.
    view.write(-40, 12)
    assert view.load(12) == -40
    view.store(12, 77)
    view.seek(12)
    assert view.read("i64") == 77
    assert raw.data()[52:60] == (-(2**63)).to_bytes(8, "little", signed=True)
    for bad in [2**63, -(2**63) - 1]:
        with pytest.raises(OverflowError):
            view.add(4, bad)
        with pytest.raises(OverflowError):
            view.store(4, bad)
    with pytest.raises(TypeError, match="argument 'delta'"):
        view.add(4, 1.0)
    assert view.load(4) == 9


def test_words_never_wait_for_the_lock(area):
    view, raw = area
    for word in (-1, 3):
        raw.word = word
        view.lock_timeout = 0
        assert view.add(4, 1) > 0 and view.load(4) > 0
        assert view.compare_exchange(4, view.load(4), 10) and view.store(12, 1) is None
    raw.word = 0
    with view.read_locked():  # not writes under the lock: allowed in a read block
        assert view.add(4, 1) == 11


def test_words_refuse_a_closed_view(area):
    view, _ = area
    view.close()
    for call in WORD_CALLS.values():
        with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
            call(view, 4)


def test_threads_adding_count_exactly(area):
    view, _ = area
    threads, per = 4, 20_000
    go = threading.Barrier(threads)

    def work():
        go.wait()
        for _ in range(per):
            view.add(20, 1)
            seen = view.load(28)
            while not view.compare_exchange(28, seen, seen + 3):
                seen = view.load(28)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert view.load(20) == threads * per and view.load(28) == 3 * threads * per
