import os
import uuid

import pytest

import velmora


def unique_name(tag="t"):
    return f"/velmora-{tag}-{os.getpid()}-{uuid.uuid4().hex[:12]}"


@pytest.fixture
def seg_name():
    """A segment name nobody uses yet; the segment is removed afterwards."""
    name = unique_name()
    yield name
    try:
        velmora.SharedMemory.remove(name)
    except OSError:
        pass
