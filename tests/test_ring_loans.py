"""loan(): the next message written in place for a `with` block, published
when the block ends; the same for SpscRingBuffer and MpscRingBuffer."""
import queue
import subprocess
import sys

import pytest

import velmora


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


# Another process's consumer: every message it gets, as hex, until the ring is empty.
DRAIN = """
import sys, velmora
ring = getattr(velmora, sys.argv[1]).open(sys.argv[2])
got = [ring.get(timeout=30)]
while (m := ring.pop()) is not None:
    got.append(m)
print(" ".join(m.hex() for m in got))
"""


def drained_elsewhere(r, name):
    done = subprocess.run([sys.executable, "-c", DRAIN, type(r).__name__, name], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return [bytes.fromhex(h) for h in done.stdout.split(" ")]


def fill_memoryview(buf, payload):
    buf[:] = payload


def fill_numpy(buf, payload):
    np = pytest.importorskip("numpy")
    a = np.asarray(buf)
    assert a.dtype == np.uint8 and a.shape == (len(payload),)
    a[:] = np.frombuffer(payload, dtype=np.uint8)


@pytest.mark.parametrize("fill", [fill_memoryview, fill_numpy], ids=["memoryview", "numpy"])
def test_a_loan_is_published_when_its_block_ends(make, seg_name, fill):
    r = make(256)
    payload = bytes(range(7, 107))
    with r.loan(len(payload)) as buf:
        assert (buf.readonly, buf.format, buf.nbytes) == (False, "B", len(payload))
        fill(buf, payload)
        assert r.used() == 0  # nothing visible before the block ends
    assert r.used() == len(payload) + 4
    with r.loan(0, timeout=0) as empty:
        assert empty.nbytes == 0
    assert drained_elsewhere(r, seg_name) == [payload, b""]


def test_an_exception_discards_the_loan_and_the_ring_goes_on(make):
    r = make()
    with pytest.raises(KeyError):
        with r.loan(16) as buf:
            buf[:] = b"z" * 16
            raise KeyError("abandoned")
    assert r.used() == 0 and r.pop() is None
    dropped = r.loan(8)  # never entered: discarded with the object
    del dropped
    assert r.pop() is None
    assert r.push(b"next")
    assert r.pop() == b"next"


# Where the ring's tail is before a 40-byte loan in a 64-byte ring: a payload
# in one piece, one that wraps (lent as a copy), after a prefix that ends at
# the ring's end, and after a prefix that wraps.
@pytest.mark.parametrize("advance", [0, 20, 56, 58])
def test_loans_at_every_kind_of_position_carry_their_bytes(make, advance):
    r = make(64)
    assert r.push(b"x" * advance) and r.pop() == b"x" * advance
    payload = bytes(range(100, 140))
    with r.loan(len(payload)) as buf:
        assert isinstance(buf.obj, bytearray) == (advance == 20)  # only a wrapping payload is a copy
        buf[:] = payload
        kept = buf[30:]
    assert r.pop() == payload
    assert r.push(b"after") and r.pop() == b"after"
    del kept


@pytest.mark.parametrize("advance", [0, 20], ids=["in place", "wrapped"])
def test_close_under_an_open_loan_keeps_its_memory_and_publishes_nothing(make, seg_name, advance):
    r = make(64)
    assert r.push(b"x" * advance) and r.pop() == b"x" * advance
    with pytest.raises(ValueError, check=lambda e: e.reason == "closed" and "not published" in str(e)):
        with r.loan(40) as buf:
            buf[:] = b"w" * 40
            kept = buf[:8]
            r.close()
            buf[:4] = b"late"  # still mapped: written, then not published
            assert bytes(buf[:8]) == b"latewwww"
    assert bytes(kept) == b"latewwww" and "closed" in repr(r)
    del kept
    again = type(r).open(seg_name)
    try:
        assert again.pop() is None
    finally:
        again.close()


def test_a_loan_larger_than_the_ring_says_what_fits(make):
    r = make(64)
    with pytest.raises(ValueError, match="the largest payload is 60 bytes",
                       check=lambda e: e.reason == "too_large"):
        r.loan(61)
    with r.loan(60, timeout=0) as buf:
        buf[:] = b"f" * 60
    assert r.pop() == b"f" * 60


@pytest.mark.parametrize("timeout", [0, 0.05])
def test_a_loan_waits_for_room_until_its_timeout(make, timeout):
    r = make(64)
    assert r.push(b"q" * 40)
    with pytest.raises(queue.Full):
        r.loan(20, timeout=timeout)
    assert r.pop() == b"q" * 40
    with r.loan(20, timeout=timeout) as buf:
        buf[:] = b"r" * 20
    assert r.pop() == b"r" * 20


def end_stream(r):
    if not isinstance(r, velmora.MpscRingBuffer):
        pytest.skip("only a fan-in ring's producer ends its stream by a call")
    r.end()


@pytest.mark.parametrize("call", [
    lambda r: r.loan(4), lambda r: r.push(b"p"), lambda r: r.put(b"p", timeout=1), lambda r: r.push_many([b"p"]),
    end_stream,
], ids=["loan", "push", "put", "push_many", "end"])
def test_while_a_loan_is_open_no_other_producer_call_runs(make, call):
    r = make()
    with r.loan(3) as buf:
        buf[:] = b"one"
        with pytest.raises(RuntimeError, match="loan"):
            call(r)
        assert r.used() == 0
    assert r.push(b"two")
    assert r.pop_many(4) == [b"one", b"two"]


def test_another_handle_of_this_process_does_not_write_over_an_open_loan(make, seg_name):
    """SPSC handles of one process share the producer's tail: theirs refuse
    while the loan is open. A fan-in ring's other handle has a lane of its own."""
    r = make()
    other = type(r).open(seg_name)
    try:
        with r.loan(3) as buf:
            buf[:] = b"one"
            if isinstance(r, velmora.SpscRingBuffer):
                with pytest.raises(RuntimeError, match="another"):
                    other.push(b"two")
            else:
                assert other.push(b"two")
        assert other.push(b"three")
        got = r.pop_many(4)
    finally:
        other.close()
    assert sorted(got) == sorted([b"one", b"three"] + ([b"two"] if isinstance(r, velmora.MpscRingBuffer) else []))


POP_ONE = """
import sys, velmora
ring = getattr(velmora, sys.argv[1]).open(sys.argv[2])
print(ring.get(timeout=30).hex())
"""


def test_a_loan_waiting_for_room_gives_up_when_the_consumer_has_gone(make, seg_name):
    r = make(64)
    assert r.push(b"a" * 40)
    done = subprocess.run([sys.executable, "-c", POP_ONE, type(r).__name__, seg_name], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and bytes.fromhex(done.stdout) == b"a" * 40, done.stderr
    assert r.push(b"b" * 40)
    with pytest.raises(BrokenPipeError):
        r.loan(30, timeout=30)
    assert r.loan(16, timeout=0) is not None  # room enough needs no consumer
