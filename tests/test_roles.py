"""Roles and liveness across processes: one producer and one consumer per ring,
peers that can be seen, end of stream, and a dead writer's view lock recovered."""
import errno
import multiprocessing
import os
import re
import signal
import subprocess
import struct
import sys
import threading
import time
import warnings

import pytest

import velmora
from conftest import attached_peer, reap, second_mapping, start_all, wait_for

SM = velmora.SharedMemory
CTX = multiprocessing.get_context("fork")
RING = velmora.SpscRingBuffer.segment_size(4096)


def _produce(name, count, tag, start, conn):
    """Waits for `start`, then pushes `count` messages "tag:i" and reports
    ("ok", pushed) or ("refused", errno, text); stays (holding whatever role
    it has) until told to go."""
    ring = SM.open(name).spsc()
    start.wait(30)
    try:
        for i in range(count):
            ring.put(f"{tag}:{i}".encode(), timeout=30)
        conn.send(("ok", count))
    except BlockingIOError as exc:
        conn.send(("refused", exc.errno, str(exc)))
    conn.recv()


def _child(target, *args):
    """Starts `target(*args, conn)` in a fork child and waits for its first
    report: (the process, our end of the pipe, the report)."""
    ours, theirs = CTX.Pipe()
    proc = CTX.Process(target=target, args=(*args, theirs))
    proc.start()
    assert ours.poll(30), "the child reported nothing"
    return proc, ours, ours.recv()


def test_two_producer_processes_one_is_refused_and_the_other_is_delivered_intact(seg_name):
    ring = SM.create(seg_name, RING).spsc()
    start = CTX.Event()
    pipes = [CTX.Pipe() for _ in range(2)]
    procs = start_all([CTX.Process(target=_produce, args=(seg_name, 2000, tag, start, theirs))
                       for tag, (_, theirs) in zip("ab", pipes)], start)
    got = []
    # Both may be running by now; consume until the accepted one is done.
    while len(got) < 2000:
        got.append(ring.get(timeout=30))
    results = [ours.recv() if ours.poll(30) else None for ours, _ in pipes]
    for ours, _ in pipes:
        ours.send("go")
    reap(procs, 30)
    refused = [r for r in results if r[0] == "refused"]
    assert len(refused) == 1 and [r for r in results if r[0] == "ok"] == [("ok", 2000)]
    _, number, text = refused[0]
    assert number == errno.EAGAIN
    assert re.fullmatch(rf"ring '{re.escape(seg_name)}' already has a producer \(pid \d+\)", text)
    winner = "ab"[results.index(("ok", 2000))]
    assert got == [f"{winner}:{i}".encode() for i in range(2000)]
    assert ring.pop() is None


def _hold_role(name, role, conn):
    ring = SM.open(name).spsc()
    ring.push(b"first") if role == "producer" else ring.pop()
    conn.send(os.getpid())
    conn.recv()  # until told to go (or killed)
    if role == "producer":
        ring.push(b"last")


@pytest.mark.parametrize("role", ["producer", "consumer"])
def test_a_refused_call_names_the_holder_and_touches_nothing(seg_name, role):
    ring = SM.create(seg_name, RING).spsc()
    proc, ours, holder = _child(_hold_role, seg_name, role)
    try:
        before = (ring.used(), ring.free())
        attempt = (lambda: ring.push(b"x")) if role == "producer" else ring.pop
        with pytest.raises(BlockingIOError) as info:
            attempt()
        assert info.value.errno == errno.EAGAIN
        assert str(info.value) == f"ring '{seg_name}' already has a {role} (pid {holder})"
        assert (ring.used(), ring.free()) == before
        assert (ring.has_producer(), ring.has_consumer()) == (role == "producer", role == "consumer")
    finally:
        ours.send("go")
        proc.join(30)
    # The holder closed (exited): the role passes to us.
    attempt()
    assert getattr(ring, f"has_{role}")()


def test_a_killed_producer_is_gone_at_once_and_a_new_one_continues_the_stream(seg_name):
    ring = SM.create(seg_name, RING).spsc()
    assert not ring.has_producer()
    proc, ours, pid = _child(_hold_role, seg_name, "producer")
    assert pid == proc.pid
    assert ring.has_producer() and not ring.has_consumer()
    killed = time.monotonic()
    os.kill(proc.pid, signal.SIGKILL)
    proc.join(30)
    reaped = time.monotonic()
    assert wait_for(lambda: not ring.has_producer(), 0.1), "the dead producer still counts"
    assert time.monotonic() - reaped < 0.1, f"kill to free: {time.monotonic() - killed:.3f} s"
    proc, ours, pid = _child(_hold_role, seg_name, "producer")
    assert pid == proc.pid
    ours.send("go")
    proc.join(30)
    assert [ring.pop(), ring.pop(), ring.pop(), ring.pop()] == [b"first", b"first", b"last", None]


def test_handles_and_threads_of_one_process_share_its_roles(seg_name, seg_names):
    creator = SM.create(seg_name, RING).spsc()
    opener = SM.open(seg_name).spsc()
    assert creator.push(b"from the creator") and opener.push(b"from the opener")
    assert opener.has_producer() and creator.has_producer()
    assert [creator.pop(), creator.pop()] == [b"from the creator", b"from the opener"]
    # Two threads put through two handles, with messages large enough that
    # each call lets go of the interpreter lock while it copies or waits.
    big = 1 << 20
    name2 = seg_names(1, "big")[0]
    handles = [SM.create(name2, velmora.SpscRingBuffer.segment_size(big)).spsc()]
    handles.append(SM.open(name2).spsc())
    consumer = SM.open(name2).spsc()
    payloads = {k: bytes([k]) * (70_000 + k) for k in (1, 2)}
    go = threading.Event()

    def put_many(handle, k):
        go.wait(10)
        for _ in range(40):
            handle.put(payloads[k], timeout=30)

    threads = [threading.Thread(target=put_many, args=(h, k)) for h, k in zip(handles, (1, 2))]
    for t in threads:
        t.start()
    go.set()
    got = [consumer.get(timeout=30) for _ in range(80)]
    for t in threads:
        t.join(30)
    assert sorted(got) == sorted([payloads[1]] * 40 + [payloads[2]] * 40)


def test_a_fork_child_does_not_inherit_its_parents_role(seg_name):
    ring = SM.create(seg_name, RING).spsc()
    ring.push(b"parent")
    ours, theirs = CTX.Pipe()

    def child():
        try:
            ring.push(b"child")
            theirs.send("pushed")
        except BlockingIOError as exc:
            theirs.send(str(exc))

    proc = CTX.Process(target=child)
    proc.start()
    assert ours.poll(30)
    assert ours.recv() == f"ring '{seg_name}' already has a producer (pid {os.getpid()})"
    proc.join(30)
    # The child's exit did not take the parent's role with it.
    assert ring.push(b"still ours") and ring.has_producer()


# ---- end of stream ------------------------------------------------------------------------

EOF_CALLS = {
    "get": lambda r: r.get(timeout=30, eof=True),
    "get_into": lambda r: (lambda b: bytes(b[:r.get_into(b, timeout=30, eof=True)]))(bytearray(64)),
    "get_mixed": lambda r: r.get_mixed([("u8", 1)], timeout=30, eof=True),
}


def _late_producer(name, delay, n):
    time.sleep(delay)
    ring = SM.open(name).spsc()
    for i in range(n):
        ring.put(bytes([i]), timeout=30)


@pytest.mark.parametrize("call", sorted(EOF_CALLS))
def test_eof_after_the_last_message_of_a_producer_that_exited_and_not_before_its_first(seg_name, call):
    ring = SM.create(seg_name, RING).spsc()
    # Started before its producer: waits for it rather than ending at once.
    proc = CTX.Process(target=_late_producer, args=(seg_name, 0.3, 5))
    proc.start()
    got = [EOF_CALLS[call](ring) for _ in range(5)]
    with pytest.raises(EOFError, check=lambda e: e.reason == "peer_gone"):
        EOF_CALLS[call](ring)
    proc.join(30)
    expected = [bytes([i]) for i in range(5)] if call != "get_mixed" else [[i] for i in range(5)]
    assert got == expected
    # Without eof the default behaviour stays: wait, then queue.Empty.
    import queue

    with pytest.raises(queue.Empty):
        ring.get(timeout=0.05)


@pytest.mark.parametrize("drain", ["pop", "pop_many", "pop_into"])
def test_messages_taken_by_non_blocking_calls_count_as_a_producer_seen(seg_name, drain):
    """A stream drained by pop/pop_many/pop_into after its producer exited ends at
    the next get(eof=True), with no wait (an event loop drains this way)."""
    ring = SM.create(seg_name, RING).spsc()
    proc = CTX.Process(target=_late_producer, args=(seg_name, 0, 3))
    proc.start()
    proc.join(30)
    assert proc.exitcode == 0 and not ring.has_producer()
    if drain == "pop_many":
        assert ring.pop_many(10) == [bytes([i]) for i in range(3)]
    else:
        for i in range(3):
            if drain == "pop":
                assert ring.pop() == bytes([i])
            else:
                buf = bytearray(4)
                assert ring.pop_into(buf) == 1 and buf[0] == i
    t0 = time.monotonic()
    with pytest.raises(EOFError):
        ring.get(eof=True, timeout=10)
    assert time.monotonic() - t0 < 5


def test_eof_waits_while_a_producer_is_attached_and_ends_when_it_leaves(seg_name):
    ring = SM.create(seg_name, RING).spsc()
    proc, ours, pid = _child(_hold_role, seg_name, "producer")
    assert pid == proc.pid
    assert ring.get(eof=True, timeout=30) == b"first"
    import queue

    with pytest.raises(queue.Empty):  # still attached: no end yet
        ring.get(eof=True, timeout=0.2)
    threading.Timer(0.1, lambda: ours.send("go")).start()  # it pushes "last", then exits
    assert ring.get(eof=True, timeout=30) == b"last"
    with pytest.raises(EOFError):
        ring.get(eof=True, timeout=30)
    proc.join(30)
    assert proc.exitcode == 0


# ---- views: a dead writer's lock -----------------------------------------------------------


def _stuck_writer(name, conn):
    """Takes the write lock and is killed inside it (forged: the word is set
    to -1 by this process, which then waits to be killed)."""
    view = SM.open(name).map()
    raw = second_mapping(name)
    struct.pack_into("<i", raw.buf, 0, -1)
    conn.send(view.is_write_locked())
    time.sleep(60)


def _killed_writer(seg_name):
    """A view of a new segment whose lock a child took and was killed holding."""
    view = SM.create(seg_name, 68).map()
    proc, _, locked = _child(_stuck_writer, seg_name)
    assert locked is True
    os.kill(proc.pid, signal.SIGKILL)
    proc.join(30)
    return view


def test_a_writer_killed_holding_the_lock_is_recovered_by_the_next_writer(seg_name):
    view = _killed_writer(seg_name)
    view.lock_timeout = 5
    started = time.monotonic()
    assert view.lock_recoveries() == 0
    with pytest.warns(velmora.LockRecoveredWarning,
                      match=rf"MappedView '{re.escape(seg_name)}': the lock word held -1 and its holder has gone"):
        view.write(b"after", 0)
    assert time.monotonic() - started < 1.0
    assert view.read_range(0, 5) == b"after" and not view.is_write_locked()
    assert view.lock_recoveries() == 1


def test_a_recovered_lock_is_shown_under_the_default_warning_filters(seg_name):
    # ResourceWarning is hidden by default: a recovery must not be.
    assert issubclass(velmora.LockRecoveredWarning, UserWarning)
    _killed_writer(seg_name).close()  # no live process but the next caller has the segment open
    code = f"import velmora; v = velmora.SharedMemory.open({seg_name!r}).map(); v.lock_timeout = 5; v.write(b'x', 0)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "LockRecoveredWarning" in out.stderr and seg_name in out.stderr
    assert SM.open(seg_name).map().read_range(0, 1) == b"x"


def test_a_held_lock_with_another_live_process_attached_still_times_out(seg_name):
    view = SM.create(seg_name, 68).map()
    proc, _, locked = _child(_stuck_writer, seg_name)
    assert locked is True
    with attached_peer(seg_name):  # a live reader stays attached
        os.kill(proc.pid, signal.SIGKILL)
        proc.join(30)
        view.lock_timeout = 0.3
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(TimeoutError):
                view.write(b"x", 0)
        assert view.is_write_locked()
    view.reset_lock()


def test_a_lock_held_by_this_process_is_never_taken_for_a_dead_ones(seg_name):
    """Two handles in one process: one thread holds the lock through the first
    (a long write), the other waits through the second; nobody else is
    attached, and still nothing is reset under the live hold."""
    first = SM.create(seg_name, (16 << 20) + 4).map()
    second = SM.open(seg_name).map()
    blob = b"\x01" * (16 << 20)
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            first.write(blob, 0)

    t = threading.Thread(target=writer)
    t.start()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for _ in range(20):
                second.write(b"\x02", 0)
                assert second.read_range(0, 1) in (b"\x01", b"\x02")
    finally:
        stop.set()
        t.join(30)


# ---- messages ---------------------------------------------------------------------------------


@pytest.mark.parametrize("head, tail, text", [
    (634880, 584700, "head 634880 and tail 584700: tail is behind head by 50180 bytes"),
    (0, 4097, "head 0 and tail 4097 are 4097 bytes apart, more than capacity 4096"),
])
def test_a_corrupt_header_message_gives_signed_distances(seg_name, head, tail, text):
    ring = SM.create(seg_name, RING).spsc()
    raw = second_mapping(seg_name)
    try:
        struct.pack_into("<QQ", raw.buf, 0, head, tail)
        with pytest.raises(ValueError) as info:
            ring.push(b"x")
        assert str(info.value) == "ring header is corrupt: " + text
    finally:
        raw.close()
