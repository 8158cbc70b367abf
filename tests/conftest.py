import contextlib
import os
import struct
import sys
import threading
import time
import uuid
from multiprocessing import resource_tracker, shared_memory

import pytest

import velmora


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
