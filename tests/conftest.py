import asyncio
import contextlib
import os
import struct
import subprocess
import sys
import threading
import time
import uuid
from multiprocessing import resource_tracker, shared_memory

import pytest

import velmora


class Index:
    """An integer-like object that only offers __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value



# The address sanitizer's runtime is preloaded for the sanitizer run: it has
# an allocator of its own, and needs descriptors of its own in a fork child.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

def unique_name(tag="t"):
    return f"/velmora-{tag}-{os.getpid()}-{uuid.uuid4().hex[:12]}"


def second_mapping(name):
    """The segment mapped again by the standard library, to forge or inspect
    bytes behind the module's back. It is not ours to unlink, so it is kept
    away from the resource tracker."""
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name=name.lstrip("/"), create=False, track=False)
    shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=False)
    resource_tracker.unregister(shm._name, "shared_memory")
    return shm


def second_mapping_create(name, size):
    """A segment made by the standard library under `name` (someone else's
    segment, as far as the module can tell); the caller removes the name."""
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name=name.lstrip("/"), create=True, size=size, track=False)
    shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=True, size=size)
    resource_tracker.unregister(shm._name, "shared_memory")
    return shm


@contextlib.contextmanager
def view_lock_held(name, word=-1):
    """Puts `word` into the segment's lock word, as a holder (or a dead one)
    would, and puts the old value back afterwards. One 4-byte slice store."""
    shm = second_mapping(name)
    old = bytes(shm.buf[0:4])
    shm.buf[0:4] = struct.pack("<i", word)
    try:
        yield shm
    finally:
        shm.buf[0:4] = old
        shm.close()


_PEER = """
import sys, velmora
view = velmora.SharedMemory.open(sys.argv[1]).map()
print("ready", flush=True)
sys.stdin.read()
"""


@contextlib.contextmanager
def attached_peer(name):
    """Another live process with a view of the segment open (and so attached)
    for the length of the block: a word forged in the lock is then a live
    holder's as far as the module can tell, and is waited for, not recovered."""
    import subprocess

    proc = subprocess.Popen([sys.executable, "-c", _PEER, name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        yield proc
    finally:
        proc.stdin.close()
        proc.wait(30)


@pytest.fixture
def seg_name():
    """A segment name nobody uses yet; the segment is removed afterwards."""
    name = unique_name()
    yield name
    try:
        velmora.SharedMemory.remove(name)
    except OSError:
        pass


@pytest.fixture
def seg_names():
    """`seg_names(n, tag)` gives `n` fresh segment names; every segment made
    under one is removed afterwards."""
    made = []

    def make(n, tag="t"):
        made.extend(unique_name(tag) for _ in range(n))
        return made[-n:]

    yield make
    for name in made:
        try:
            velmora.SharedMemory.remove(name)
        except OSError:
            pass


def wait_for(predicate, timeout=20):
    """Polls `predicate` until it holds or `timeout` seconds pass; its last value."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(0.002)


def start_all(procs, go=None):
    """Starts every process, then sets `go` (when given) to let them run together."""
    for p in procs:
        p.start()
    if go is not None:
        go.set()
    return procs


def reap(procs, timeout=120):
    """Joins every process, killing one still running after `timeout`; their exit codes."""
    for p in procs:
        p.join(timeout)
        if p.is_alive():
            p.kill()
            p.join()
    return [p.exitcode for p in procs]


@contextlib.contextmanager
def running(*args):
    """The program `args`, its output piped, for the length of the block;
    killed if it is still running at the end."""
    proc = subprocess.Popen([str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()


def until_eof(get, timeout=30):
    """Calls `get(timeout=..., eof=True)` until it raises EOFError, yielding
    each message: a stream read to its end."""
    while True:
        try:
            yield get(timeout=timeout, eof=True)
        except EOFError:
            return


def kill_running(*procs):
    """Kills and waits for each subprocess (None is skipped) still running."""
    for p in procs:
        if p is not None and p.poll() is None:
            p.kill()
            p.wait(30)


def pop_from(ring, proc, count, timeout):
    """Pops up to `count` messages from `ring` while `proc` (see `running`)
    produces them, stopping early should it fail; then waits for it.
    (the messages, its stdout, its stderr) as text."""
    got, deadline = [], time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        msg = ring.pop()
        if msg is None:
            if proc.poll() not in (None, 0):
                break
            time.sleep(0.0002)
            continue
        got.append(msg)
    out, err = proc.communicate(timeout=timeout)
    return got, out.decode(), err.decode()


@pytest.fixture(params=["spsc", "mpsc"])
def any_ring(request, seg_name):
    """A ring of 64 bytes, or a fan-in ring of 64-byte lanes: one handle
    that both produces and consumes, for the calls the two kinds share."""
    if request.param == "spsc":
        ring = velmora.SharedMemory.create(seg_name, velmora.SpscRingBuffer.segment_size(64)).spsc()
    else:
        ring = velmora.MpscRingBuffer.create(seg_name, 64, producers=2)
    yield ring
    ring.close()


class Heartbeat:
    """A thread that notes the time every 10 ms while the block runs; `gaps`
    are the intervals between its beats inside [start, end]."""

    def __enter__(self):
        self.beats, started, self._stop = [], threading.Event(), threading.Event()

        def beat():
            started.set()
            while not self._stop.is_set():
                self.beats.append(time.monotonic())
                time.sleep(0.01)

        self._thread = threading.Thread(target=beat)
        self._thread.start()
        assert started.wait(5)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def gaps(self, start, end):
        inside = [b for b in self.beats if start <= b <= end]
        return [b - a for a, b in zip(inside, inside[1:])]


# ---- event loops (velmora.aio tests) -------------------------------------------------

try:
    import uvloop
except ImportError:  # the uvloop cases skip
    uvloop = None

LOOPS = [
    pytest.param("asyncio", id="asyncio"),
    pytest.param("uvloop", id="uvloop",
                 marks=pytest.mark.skipif(uvloop is None, reason="uvloop is not installed")),
]


def run_loop(kind, coro):
    """Runs `coro` to its end under the default asyncio loop or uvloop."""
    if kind == "uvloop":
        loop = uvloop.new_event_loop()
        try:
            return loop.run_until_complete(coro)
        finally:
            loop.close()
    return asyncio.run(coro)


_IDLE_SCRIPT = r"""
import asyncio, sys, time, velmora, velmora.aio
opener = {"spsc": lambda n: velmora.SharedMemory.open(n).spsc(), "mpsc": velmora.MpscRingBuffer.open}[sys.argv[1]]
rings = [opener(n) for n in sys.argv[2:]]
async def main():
    waits = [asyncio.ensure_future(velmora.aio.wrap(r).get()) for r in rings]
    await asyncio.sleep(0.5)
    c0, t0 = time.process_time(), time.monotonic()
    await asyncio.sleep(2.0)
    print(time.process_time() - c0, time.monotonic() - t0, sum(w.done() for w in waits))
    for w in waits:
        w.cancel()
asyncio.run(main())
"""


def idle_loop_cpu(kind, names):
    """A fresh interpreter's asyncio loop awaits get() on the rings `names`
    ("spsc" or "mpsc") for 2 s: its CPU share of a core, and how many of the
    gets finished."""
    out = subprocess.run([sys.executable, "-c", _IDLE_SCRIPT, kind, *names], capture_output=True, text=True,
                         timeout=60, check=True).stdout.split()
    return float(out[0]) / float(out[1]), int(out[2])


def settle_selector(sel, side, call, nothing=None):
    """Calls `call` (a non-blocking call finding nothing to do: it answers
    None or False, or raises `nothing` when given) until `sel` stops reporting
    the descriptor registered with data `side` (None: any): a side that found
    nothing keeps its descriptor readable only for a bounded settle."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < 5:
        if nothing is None:
            assert call() in (None, False)
        else:
            with pytest.raises(nothing):
                call()
        ready = [key.data for key, _ in sel.select(0.05)]
        if not ready or (side is not None and side not in ready):
            return
    pytest.fail(f"the {side} descriptor never stopped being readable")
