"""`reason` on the failures the other tests do not reach, and the list of
reasons the stub documents against the one the C++ header defines."""
import pathlib
import re
import struct

import pytest

import velmora
from conftest import second_mapping

SM = velmora.SharedMemory
ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("call, exc, reason", [
    (lambda n: (SM.create(n, 64), SM.create(n, 64)), FileExistsError, "exists"),
    (lambda n: SM.open(n), FileNotFoundError, "not_found"),
    (lambda n: SM.create(n + "\0x", 64), ValueError, "name"),
    (lambda n: SM.create("/", 64), ValueError, "name"),
    (lambda n: SM.open(n + "x" * 300), OSError, "name"),
    (lambda n: SM.create(n + "/x", 64), OSError, "name"),
], ids=["exists", "not found", "nul byte", "empty name", "name too long", "inner slash"])
def test_segment_failures_carry_their_reason(seg_name, call, exc, reason):
    with pytest.raises(exc) as excinfo:
        call(seg_name)
    assert excinfo.value.reason == reason


@pytest.mark.parametrize("make, open_, offset", [
    (lambda n: velmora.Publisher.create(n, 64, 2), velmora.Subscriber.open, 8),
    (lambda n: velmora.MpscRingBuffer.create(n, 64, producers=2), velmora.MpscRingBuffer.open, 8),
], ids=["broadcast", "fan-in"])
def test_a_layout_version_this_build_cannot_read(seg_name, make, open_, offset):
    make(seg_name).close()
    shm = second_mapping(seg_name)
    try:
        struct.pack_into("<I", shm.buf, offset, 99)
    finally:
        shm.close()
    with pytest.raises(ValueError) as excinfo:
        open_(seg_name)
    assert excinfo.value.reason == "version"


def test_the_stub_lists_the_reasons_the_header_defines():
    header = (ROOT / "include/velmora/error.hpp").read_text()
    body = re.search(r"enum class Reason[^{]*\{(.*?)\};", header, re.S).group(1)
    defined = re.findall(r"^\s*(\w+),", body, re.M)
    named = re.findall(r'case Reason::(\w+): return "(\w+)";', header)
    assert [a for a, _ in named] == defined and all(a == b for a, b in named)
    stub = (ROOT / "velmora/__init__.pyi").read_text()
    listed = re.search(r"_Reason: TypeAlias = Literal\[(.*?)\]", stub, re.S).group(1)
    assert re.findall(r'"(\w+)"', listed) == defined
