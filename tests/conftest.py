import os
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


@pytest.fixture
def seg_name():
    """A segment name nobody uses yet; the segment is removed afterwards."""
    name = unique_name()
    yield name
    try:
        velmora.SharedMemory.remove(name)
    except OSError:
        pass
