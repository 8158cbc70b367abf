"""get_view(): a ring's next message read in place for a `with` block, then
consumed; the same for SpscRingBuffer and MpscRingBuffer."""
import os
import queue
import subprocess
import sys
import threading

import pytest

import velmora

BUFFERS = sys.version_info >= (3, 11)  # the lent object exports its own buffer


def spsc(name, capacity):
    return velmora.SpscRingBuffer.create(name, capacity)


def mpsc(name, capacity):
    return velmora.MpscRingBuffer.create(name, capacity, producers=2)


@pytest.fixture(params=[spsc, mpsc], ids=["spsc", "mpsc"])
def make(request, seg_name):
    made = []

    def ring(capacity=64):
        r = request.param(seg_name, capacity)
        made.append(r)
        return r

    yield ring
    for r in made:
        r.close()


def test_a_view_shows_the_message_in_place_and_its_block_consumes_it(make):
    r = make(256)
    assert r.push(b"first") and r.push(b"second")
    used = r.used()
    with r.get_view(timeout=1) as m:
        assert (bytes(m), m.readonly, m.format, m.nbytes) == (b"first", True, "B", 5)
        assert r.used() == used  # still in the ring while the block runs
        with pytest.raises(TypeError):
            m[0] = 0
    assert r.used() == used - 9
    assert r.pop() == b"second"
    with pytest.raises(ValueError, match="released"):
        bytes(m)  # the block's memoryview goes with it


@pytest.mark.parametrize("read", [
    lambda r: r.pop(), lambda r: r.get(timeout=0), lambda r: r.pop_many(4), lambda r: r.pop_into(bytearray(64)),
    lambda r: r.get_view(timeout=0),
], ids=["pop", "get", "pop_many", "pop_into", "get_view"])
def test_no_other_read_while_a_view_is_open(make, read):
    r = make()
    r.push(b"a")
    r.push(b"b")
    with r.get_view() as m:
        with pytest.raises(RuntimeError, check=lambda e: e.reason == "busy"):
            read(r)
        assert bytes(m) == b"a"
    assert r.pop() == b"b"


def test_a_view_open_on_one_thread_refuses_reads_from_another(make):
    r = make()
    r.push(b"a")
    errors, go = [], threading.Event()

    def other():
        go.wait(10)
        try:
            r.get(timeout=0)
        except RuntimeError as e:
            errors.append(e)

    t = threading.Thread(target=other)
    t.start()
    with r.get_view() as m:
        go.set()
        t.join(10)
        assert bytes(m) == b"a"
    assert len(errors) == 1 and r.is_empty()


def test_an_exception_in_the_block_still_consumes_and_a_dropped_view_too(make):
    r = make()
    for m in (b"one", b"two", b"three"):
        r.push(m)
    with pytest.raises(KeyError):
        with r.get_view():
            raise KeyError
    v = r.get_view()
    assert bytes(v.__enter__()) == b"two"
    del v
    assert r.pop() == b"three" and r.pop() is None


def test_a_message_that_wraps_comes_as_a_copy(make):
    r = make(64)
    for _ in range(1):  # move the positions on so that the next frame wraps
        assert r.push(b"x" * 20)
        assert r.pop() == b"x" * 20
    wrapped = bytes(range(40))
    assert r.push(wrapped)
    with r.get_view() as m:
        assert bytes(m) == wrapped
        assert r.is_empty()  # a copy: the ring's bytes went at once
        kept = m[8:]
    assert bytes(kept) == wrapped[8:]  # a part kept past the block still holds the copy
    assert r.push(b"after")
    with r.get_view(timeout=0) as m:
        assert bytes(m) == b"after"


def test_empty_and_end_of_stream(make, seg_name):
    r = make()
    with pytest.raises(queue.Empty):
        r.get_view(timeout=0)
    with pytest.raises(queue.Empty):
        r.get_view(timeout=0.01)
    if isinstance(r, velmora.MpscRingBuffer):
        producer = velmora.MpscRingBuffer.open(seg_name)
    else:
        producer = velmora.SharedMemory.open(seg_name).spsc()
    producer.push(b"last")
    producer.close()
    with r.get_view(timeout=1, eof=True) as m:
        assert bytes(m) == b"last"
    with pytest.raises(EOFError):
        r.get_view(timeout=1, eof=True)


@pytest.mark.skipif(not BUFFERS, reason="memoryviews made from the lent object need CPython 3.11+")
def test_close_while_a_view_is_used_keeps_the_memory_until_its_last_user_goes(make):
    r = make(1 << 12)
    r.push(b"kept" * 100)
    v = r.get_view()
    m = memoryview(v)  # made from the lent object: holds the mapping
    r.close()
    assert bytes(m[:8]) == b"keptkept" and "closed" in repr(r)
    with v as inner:
        assert bytes(inner[-4:]) == b"kept"
    m.release()
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed"):
        v.__enter__()


# Another process's first pop: what it got, or "refused" while the consumer role is held here.
READ_ONE = """
import sys, velmora
ring = getattr(velmora, sys.argv[1]).open(sys.argv[2])
try:
    print(ring.pop())
except BlockingIOError:
    print("refused")
"""


def pop_elsewhere(r, name):
    done = subprocess.run([sys.executable, "-c", READ_ONE, type(r).__name__, name], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("close", ["before the block", "inside the block", "and drop the view"])
def test_a_view_ended_after_close_consumes_what_it_showed(make, seg_name, close):
    """The block saw the message: once it ends, neither another process nor
    another handle of this one gets it again. Until then the view keeps the
    consumer role, so no other process can read it meanwhile."""
    r = make()
    r.push(b"seen")
    r.push(b"next")
    v = r.get_view()
    if close == "inside the block":
        with v as m:
            r.close()
            assert bytes(m) == b"seen" and pop_elsewhere(r, seg_name) == "refused"
    else:
        r.close()
        assert pop_elsewhere(r, seg_name) == "refused"
        if close == "and drop the view":
            del v
        else:
            with v as m:
                assert bytes(m) == b"seen"
    assert pop_elsewhere(r, seg_name) == "b'next'"
    again = type(r).open(seg_name)
    try:
        assert again.pop() is None
    finally:
        again.close()


def test_a_view_ended_after_another_handle_consumed_its_message_does_not_rewind_the_ring(make, seg_name):
    r = make()
    for m in (b"one", b"two", b"three"):
        r.push(m)
    other = type(r).open(seg_name)
    try:
        with r.get_view() as m:
            assert bytes(m) == b"one"
            assert other.pop_many(2) == [b"one", b"two"]  # this process's other handle shares the role
        assert other.pop() == b"three" and r.is_empty()
    finally:
        other.close()


@pytest.mark.parametrize("child_closes", [False, True], ids=["open", "closed"])
def test_a_fork_child_cannot_consume_its_parents_view(make, child_closes):
    r = make()
    r.push(b"parent's")
    v = r.get_view()
    m = v.__enter__()
    pid = os.fork()
    if pid == 0:  # the child ends its copy of the view: it holds no role, so nothing is consumed
        try:
            if child_closes:
                r.close()
            v.__exit__(None, None, None)
            if child_closes:
                os._exit(0)
            os._exit(0 if r.used() > 0 else 1)
        finally:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert bytes(m) == b"parent's" and r.used() > 0
    v.__exit__(None, None, None)
    assert r.is_empty()
