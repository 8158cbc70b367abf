import contextlib
import os
import struct
import sys
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


@pytest.fixture
def seg_name():
    """A segment name nobody uses yet; the segment is removed afterwards."""
    name = unique_name()
    yield name
    try:
        velmora.SharedMemory.remove(name)
    except OSError:
        pass
